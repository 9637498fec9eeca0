#pragma once

#include <string>

// The program folder named with --folder DIR holds the settings file, Back.txt and ports/ (the devices
// the link opens), so whoever can write it can steer the program: it must belong to the user running the
// program, or to root, and must not be writable by group or others (as ssh wants its key folder). Root
// may use a folder of any owner that is closed to group and others.

// The reason DIR cannot serve as program folder, naming DIR; empty when it can.
std::string ProgramFolderProblem(const std::string& folder);

// DIR as an absolute path (relative to the current directory), without a trailing "/".
std::string AbsoluteFolder(const std::string& folder);
