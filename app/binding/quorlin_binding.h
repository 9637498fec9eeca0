#pragma once

#include <string>

#include "codec/link_api.h"

// Loads libquorlin.so at run time and fills the LinkApi table from it.

// Binds libquorlin.so from `folder` (the program folder) at the first call and caches the result for
// the process. Returns nullptr when the library or one of the five entry points cannot be found; a later
// call with the same folder tries again.
const LinkApi* BindQuorlin(const std::string& folder);

// Why the last BindQuorlin(folder) found no library: the loader's text, or the entry point that is
// missing. Empty when the library is bound or was never tried.
std::string QuorlinLoadProblem(const std::string& folder);

// The folder of the running executable (from /proc/self/exe), without a trailing "/".
std::string ExecutableFolder();
