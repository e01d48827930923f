// PLACEHOLDER until the update procedure lands: behaves as a package without :RegistryKeys.
#include "shell/texts.h"
#include "shell/worker.h"
#include "update/update.h"

int DiscoverTarget(const PackageView&, TargetInfo& target) {
  target = TargetInfo{};
  ShowStatus(texts::kNotFoundText);
  return 0;
}
void ReleaseTarget(TargetInfo&) {}
void RunUpdate(const PackageView&, TargetInfo&) {}
