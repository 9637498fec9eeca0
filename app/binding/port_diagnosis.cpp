#include "binding/port_diagnosis.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "common/program_folder.h"
#include "common/system_error.h"
#include "quorlin_ports.h"

namespace {

constexpr const char* kNoDevice = "ﾃﾞﾊﾞｲｽがありません。ｸﾚｰﾄﾞﾙの接続を確認してください";
constexpr const char* kNoPermission = "使用する権限がありません。ﾕｰｻﾞｰを dialout ｸﾞﾙｰﾌﾟに追加してください";
constexpr const char* kInUse = "他のﾌﾟﾛｸﾞﾗﾑが使用中です";
constexpr const char* kNoAdapter = "ｱﾀﾞﾌﾟﾀが応答しません。ﾓｰﾄﾞの設定を確認してください";
// The mode in which the library looks for an infrared adapter by probing its speed.
constexpr int32_t kAdapterMode = 1;

// The device a ports/ entry leads to: the target of a symbolic link (what the operator linked), else
// the path itself.
std::string ShownDevice(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size() - 1);
    if (length <= 0) {
        return ShownPath(path);
    }
    target.resize(static_cast<size_t>(length));
    return target;
}

std::string ReasonOfError(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
        case ELOOP:
            return kNoDevice;
        case EACCES:
        case EPERM:
            return kNoPermission;
        case EBUSY:
        case EWOULDBLOCK:
            return kInUse;
        default:
            return SystemErrorText(error);
    }
}

// Opens and locks `path` as the library does, and asks for its line settings; 0 when all of it works,
// else the errno of the first step that failed.
int ProbeDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    termios settings{};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
    } else if (::tcgetattr(fd, &settings) != 0) {
        error = errno;
    }
    ::close(fd);  // also drops our lock
    return error;
}

}  // namespace

std::string PortOpenProblem(const std::string& programFolder, int32_t port, int32_t mode,
                            int32_t openResult) {
    const std::string name = "COM" + std::to_string(port);
    const quorlin::PortDevice device = quorlin::ResolvePortDevice(programFolder, port);
    if (device.Missing) {
        return name + ": ports/" + name + " がありません";
    }
    const std::string head = name + " (" + ShownDevice(device.Path) + "): ";
    const int error = ProbeDevice(device.Path);
    if (error != 0) {
        return head + ReasonOfError(error);
    }
    if (openResult < 0 && mode == kAdapterMode) {
        return kNoAdapter;
    }
    return {};
}

std::string PortDevicePath(const std::string& programFolder, int32_t port) {
    return ShownPath(quorlin::ResolvePortDevice(programFolder, port).Path);
}

std::string LinkLoadProblemLine(const std::string& reason) {
    return "libquorlin.so を読み込めません (" + reason + ")";
}
