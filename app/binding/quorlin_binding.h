#pragma once

#include <string>

#include "codec/link_api.h"

// Loads libquorlin.so at run time and fills the LinkApi table from it.

// Binds libquorlin.so from `folder` (the program folder) at the first call and caches the result for
// the process. Returns nullptr when the library or one of the five entry points cannot be found; a later
// call with the same folder tries again.
const LinkApi* BindQuorlin(const std::string& folder);

// For a program folder named on the command line (--folder): binds libquorlin.so from `libraryFolder` (the
// executable's own) and tells it `programFolder` through GATHRA_PROGRAM_FOLDER, which the library reads
// once as it loads; the variable is removed again at once, so no child process ever inherits it. From
// then on BindQuorlin(programFolder) returns this binding, or nullptr when it failed (the port then cannot
// be opened; the library is never taken from the program folder). Call it before any other thread starts.
const LinkApi* BindQuorlinFor(const std::string& programFolder, const std::string& libraryFolder);

// Why the last BindQuorlin(folder) found no library: the loader's text, or the entry point that is
// missing. Empty when the library is bound or was never tried.
std::string QuorlinLoadProblem(const std::string& folder);

// The folder of the running executable (from /proc/self/exe), without a trailing "/".
std::string ExecutableFolder();
