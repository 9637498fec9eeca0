#pragma once

#include <string>

// The system's description of an errno value ("No such file or directory"). Safe on any thread, unlike
// std::strerror: uploads run on a thread of their own.
std::string SystemErrorText(int number);
