// Stand-in for the freestanding 32-bit build: nothing of it is used.
#pragma once
