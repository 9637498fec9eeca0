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

// The installed program files live under /usr (the package's /usr/lib/gathra), which belongs to the
// package manager: settings, Back.txt and ports/ must never land there, not even when root starts the
// program from there. "<DIR> : ｲﾝｽﾄｰﾙ先のﾌｫﾙﾀﾞはﾌﾟﾛｸﾞﾗﾑﾌｫﾙﾀﾞにできません" for a folder inside /usr (through
// any links; /usr/local, the administrator's own, excepted), else empty.
std::string InstalledFilesFolderProblem(const std::string& folder);

// Makes a missing program folder for gathra-collect --init: DIR with mode 0700, and its missing parents
// as mkdir -p does (0755, never writable by group or others whatever the umask). An existing DIR is left
// as it is. Empty on success, else the reason naming the folder that could not be made.
std::string MakeProgramFolder(const std::string& folder);
