// Compiled with the canfd tool's include directories by the test
// tool_uses_public_headers_only, which passes when this include fails.
#include "wire.h"
