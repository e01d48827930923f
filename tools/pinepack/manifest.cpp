#include "manifest.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "cp1251.h"
#include "package/names.h"
#include "tool_error.h"

using nlohmann::json;

namespace {

std::string ToCp1251(const std::string& utf8, const std::string& what) {
  std::string out;
  std::string error;
  if (!Utf8ToCp1251(utf8, out, error)) throw ToolError(what + ": " + error);
  return out;
}

void RejectUnknownKeys(const json& object, const std::set<std::string>& known,
                       const std::string& where) {
  for (const auto& item : object.items()) {
    if (!known.count(item.key())) throw ToolError(where + ": unknown field \"" + item.key() + "\"");
  }
}

const json& Field(const json& object, const char* key, const std::string& where) {
  const auto it = object.find(key);
  if (it == object.end()) throw ToolError(where + ": missing field \"" + key + "\"");
  return *it;
}

std::string StringField(const json& object, const char* key, const std::string& where) {
  const json& value = Field(object, key, where);
  if (!value.is_string()) throw ToolError(where + "." + key + ": must be a string");
  return ToCp1251(value.get<std::string>(), where + "." + key);
}

std::vector<std::string> NameArray(const json& object, const char* key) {
  std::vector<std::string> names;
  const auto it = object.find(key);
  if (it == object.end()) return names;
  if (!it->is_array()) throw ToolError(std::string(key) + ": must be an array of names");
  for (size_t i = 0; i < it->size(); ++i) {
    const json& name = (*it)[i];
    const std::string where = std::string(key) + "[" + std::to_string(i) + "]";
    if (!name.is_string()) throw ToolError(where + ": must be a string");
    names.push_back(PackageName(name.get<std::string>(), where));
  }
  return names;
}

// Line breaks of the startup text as the message box wants them: CR LF.
std::string WithCrLf(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::string WithoutCr(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

std::string Utf8Name(const std::string& cp1251) { return Cp1251ToUtf8(cp1251); }

}  // namespace

std::string PackageName(const std::string& utf8, const std::string& what) {
  if (utf8.empty()) throw ToolError(what + ": empty name");
  std::string name = ToCp1251(utf8, what);
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  if (!IsSafeRelativeName(name.c_str()))
    throw ToolError(what + ": \"" + utf8 + "\" leaves the program folder (a '..' or ':')");
  return name;
}

std::string PackageFileName(const std::string& utf8, const std::string& what) {
  std::string name = PackageName(utf8, what);
  if (!IsFileName(name.c_str()))
    throw ToolError(what + ": \"" + utf8 +
                    "\" is not a file's name (a device name such as CON or NUL, or no file name "
                    "at its end)");
  return name;
}

Manifest ParseManifest(const std::string& text) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& e) {
    throw ToolError(std::string("manifest is not valid JSON: ") + e.what());
  }
  if (!root.is_object()) throw ToolError("manifest: must be a JSON object");
  RejectUnknownKeys(
      root, {"registry", "patchLevel", "startup", "folders", "remove", "rename", "entryNames"},
      "manifest");

  Manifest m;
  const json& registry = Field(root, "registry", "manifest");
  if (!registry.is_object()) throw ToolError("registry: must be an object");
  RejectUnknownKeys(registry, {"key", "folderValue", "fileValue", "patchLevelValue"}, "registry");
  m.keyPath = StringField(registry, "key", "registry");
  if (m.keyPath.empty()) throw ToolError("registry.key: must not be empty");
  m.folderValue = StringField(registry, "folderValue", "registry");
  m.fileValue = StringField(registry, "fileValue", "registry");
  m.patchLevelValue = StringField(registry, "patchLevelValue", "registry");

  const json& level = Field(root, "patchLevel", "manifest");
  if (!level.is_number_integer() || level.get<int64_t>() < std::numeric_limits<int32_t>::min() ||
      (level.is_number_unsigned() ? level.get<uint64_t>() > INT32_MAX
                                  : level.get<int64_t>() > INT32_MAX))
    throw ToolError("patchLevel: must be an integer from -2147483648 to 2147483647");
  m.patchLevel = static_cast<int32_t>(level.get<int64_t>());

  const auto startup = root.find("startup");
  if (startup != root.end()) {
    if (!startup->is_object()) throw ToolError("startup: must be an object");
    RejectUnknownKeys(*startup, {"caption", "text"}, "startup");
    m.hasStartup = true;
    m.caption = StringField(*startup, "caption", "startup");
    m.text = WithCrLf(StringField(*startup, "text", "startup"));
  }

  m.folders = NameArray(root, "folders");
  m.removals = NameArray(root, "remove");

  const auto rename = root.find("rename");
  if (rename != root.end()) {
    if (!rename->is_object())
      throw ToolError("rename: must be an object of \"path in folder\": \"name on disk\"");
    for (const auto& item : rename->items()) {
      const std::string where = "rename[\"" + item.key() + "\"]";
      if (!item.value().is_string()) throw ToolError(where + ": must be a string");
      m.renames.emplace_back(PackageName(item.key(), where),
                             PackageFileName(item.value().get<std::string>(), where));
    }
  }

  const auto entryNames = root.find("entryNames");
  if (entryNames != root.end()) {
    if (!entryNames->is_object())
      throw ToolError("entryNames: must be an object of \"path in folder\": \"entry name\"");
    for (const auto& item : entryNames->items()) {
      const std::string where = "entryNames[\"" + item.key() + "\"]";
      if (!item.value().is_string()) throw ToolError(where + ": must be a string");
      // Kept byte for byte: the entry name is what the directory stores.
      const std::string entry = ToCp1251(item.value().get<std::string>(), where);
      if (entry.empty() || entry.size() > 31 || entry[0] == ':' || !IsFileName(entry.c_str()))
        throw ToolError(where +
                        ": an entry name is 1 to 31 bytes, does not begin with ':', stays "
                        "inside the program folder and is a file's name (no device name such "
                        "as CON or NUL)");
      m.entryNames.emplace_back(PackageName(item.key(), where), entry);
    }
  }
  return m;
}

std::string ManifestToJson(const Manifest& m) {
  json root;
  root["registry"] = {{"key", Utf8Name(m.keyPath)},
                      {"folderValue", Utf8Name(m.folderValue)},
                      {"fileValue", Utf8Name(m.fileValue)},
                      {"patchLevelValue", Utf8Name(m.patchLevelValue)}};
  root["patchLevel"] = m.patchLevel;
  if (m.hasStartup)
    root["startup"] = {{"caption", Utf8Name(m.caption)}, {"text", Utf8Name(WithoutCr(m.text))}};
  auto names = [](const std::vector<std::string>& list) {
    json array = json::array();
    for (const std::string& name : list) array.push_back(Utf8Name(name));
    return array;
  };
  if (!m.folders.empty()) root["folders"] = names(m.folders);
  if (!m.removals.empty()) root["remove"] = names(m.removals);
  if (!m.renames.empty()) {
    json rename = json::object();
    for (const auto& pair : m.renames) rename[Utf8Name(pair.first)] = Utf8Name(pair.second);
    root["rename"] = rename;
  }
  if (!m.entryNames.empty()) {
    json entryNames = json::object();
    for (const auto& pair : m.entryNames) entryNames[Utf8Name(pair.first)] = Utf8Name(pair.second);
    root["entryNames"] = entryNames;
  }
  return root.dump(2) + "\n";
}
