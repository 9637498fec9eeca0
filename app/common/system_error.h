#pragma once

#include <string>

// The number Gathra gives, in place of an errno value, to a path that names something other than a
// regular file (a named pipe, a device, a socket, a folder where a file is written).
inline constexpr int kNotRegularFile = -2;
// ... and to a symbolic link in a folder that group or others may write, which is never followed.
inline constexpr int kLinkInSharedFolder = -3;

// The system's description of an errno value ("No such file or directory"), or Gathra's own for
// kNotRegularFile and kLinkInSharedFolder, with control characters made visible (VisibleText). Safe on any
// thread, unlike std::strerror: uploads run on a thread of their own.
std::string SystemErrorText(int number);
