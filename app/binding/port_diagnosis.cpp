#include "binding/port_diagnosis.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "common/program_folder.h"
#include "common/system_error.h"
#include "quorlin_net.h"
#include "quorlin_ports.h"

namespace {

constexpr const char* kNoDevice = "ﾃﾞﾊﾞｲｽがありません。ｸﾚｰﾄﾞﾙの接続を確認してください";
constexpr const char* kNoPermission = "使用する権限がありません。ﾕｰｻﾞｰを dialout ｸﾞﾙｰﾌﾟに追加してください";
constexpr const char* kInUse = "他のﾌﾟﾛｸﾞﾗﾑが使用中です";
constexpr const char* kNoAdapter = "ｱﾀﾞﾌﾟﾀが応答しません。ﾓｰﾄﾞの設定を確認してください";
constexpr const char* kNoHost = "ﾎｽﾄ名が見つかりません";
constexpr const char* kNoConnection = "接続できません";
constexpr const char* kNoBinary = "ｻｰﾊﾞｰがﾊﾞｲﾅﾘ転送に対応していません";
constexpr const char* kNoSpeedControl = "ｻｰﾊﾞｰが速度の変更に対応していません";
constexpr const char* kSettingRefused = "ｻｰﾊﾞｰが回線の設定を受け付けません";
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
//
// Opening a real serial line raises its DTR and RTS lines (and closing it drops them again, HUPCL), which
// a cradle or a modem on the line takes as a signal; the library's own open did the same a moment ago.
// Only a character device gets any further call: anything else the link points at (a file, a named pipe,
// a socket) is closed again at once, untouched, and reported as no terminal.
int ProbeDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
        ::close(fd);
        return ENOTTY;
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

// Why a network port did not open, by the library's own steps taken again.
std::string NetworkProblem(const quorlin::PortDevice& device, int32_t speed, int32_t mode) {
    const quorlin::NetDiagnosis why = quorlin::DiagnoseNetworkPort(device, speed, mode);
    switch (why.problem) {
        case quorlin::NetProblem::kNone:
            return {};
        case quorlin::NetProblem::kNoName:
            return kNoHost;
        case quorlin::NetProblem::kNoConnection:
            return std::string(kNoConnection) + " (" + SystemErrorText(why.error) + ")";
        case quorlin::NetProblem::kBusy:
            return kInUse;
        case quorlin::NetProblem::kHungUp:
            return std::string(kNoConnection) + " (" +
                   (why.said.empty() ? SystemErrorText(ECONNRESET) : why.said) + ")";
        case quorlin::NetProblem::kNoBinary:
            return kNoBinary;
        case quorlin::NetProblem::kNoSpeedControl:
            return kNoSpeedControl;
        case quorlin::NetProblem::kSettingRefused:
            if (why.answer != 0) {
                return "ｻｰﾊﾞｰが速度 " + std::to_string(why.asked) + " を受け付けません (" +
                       std::to_string(why.answer) + ")";
            }
            return kSettingRefused;
    }
    return {};
}

}  // namespace

std::string PortOpenProblem(const std::string& programFolder, int32_t port, int32_t speed, int32_t mode,
                            int32_t openResult) {
    const std::string name = "COM" + std::to_string(port);
    const quorlin::PortDevice device = quorlin::ResolvePortDevice(programFolder, port);
    if (device.Missing) {
        return name + ": ports/" + name + " がありません";
    }
    if (device.Kind != quorlin::PortKind::kDevice) {
        const std::string why = NetworkProblem(device, speed, mode);
        if (!why.empty()) {
            return name + " (" + device.Path + "): " + why;
        }
    } else if (const int error = ProbeDevice(device.Path); error != 0) {
        return name + " (" + ShownDevice(device.Path) + "): " + ReasonOfError(error);
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
