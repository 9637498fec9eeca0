#include "instance_setup.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "binding/port_diagnosis.h"
#include "binding/quorlin_binding.h"
#include "common/file_ops.h"
#include "common/system_error.h"
#include "mail/mail_message.h"
#include "mail/mail_settings_check.h"
#include "run/silent_operator_view.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "stores/store_table.h"

namespace {

// Makes the folder `name` in the program folder; `path` names it in the report.
bool MakeFolder(const PlatformFacts& platform, const std::string& name, std::string& report) {
    const std::string path = platform.ProgramFolder + "/" + name;
    const FileAt folder =
        platform.ProgramFolderFd == AT_FDCWD ? FileAt(path) : FileAt(platform.ProgramFolderFd, name);
    if (FileOps().MakeFolder(folder, 0755) == 0) {
        report += path + " : 作成しました\n";
        return true;
    }
    if (errno == EEXIST) {
        return true;
    }
    report += path + " : ﾌｫﾙﾀﾞを作成できません (" + SystemErrorText(errno) + ")\n";
    return false;
}

// The value as an ODBC attribute value: in braces, a closing brace doubled.
std::string Braced(const std::string& value) {
    std::string text = "{";
    for (const char c : value) {
        text += c;
        if (c == '}') {
            text += '}';
        }
    }
    return text + "}";
}

bool HasPassword(const std::string& connect) {
    std::string upper;
    for (const char c : connect) {
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return upper.rfind("PWD=", 0) == 0 || upper.find(";PWD=") != std::string::npos;
}

// Waits up to `milliseconds` for `fd` to become ready for `events`.
bool WaitReady(int fd, short events, int milliseconds) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, milliseconds) == 1 && (entry.revents & (POLLERR | POLLHUP)) == 0;
}

// Connects to the mail server and reads its greeting; empty when it answers "220", else the reason.
std::string MailServerProblem(const std::string& setting) {
    const std::optional<SmtpServer> server = ParseMailServer(setting);
    if (!server) {
        return "MailServer が正しくありません";
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(server->Port);
    if (const int error = ::getaddrinfo(server->Host.c_str(), port.c_str(), &hints, &found); error != 0) {
        return server->Host + " : " + ::gai_strerror(error);
    }
    std::string problem = server->Host + ":" + port + " : 応答がありません";
    for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd < 0) {
            continue;
        }
        char greeting[4] = {};
        const bool connected = (::connect(fd, address->ai_addr, address->ai_addrlen) == 0 ||
                                (errno == EINPROGRESS && WaitReady(fd, POLLOUT, 10000)));
        const bool answered = connected && WaitReady(fd, POLLIN, 10000) && ::recv(fd, greeting, 3, 0) == 3;
        ::close(fd);
        if (answered && std::string(greeting) == "220") {
            problem.clear();
            break;
        }
    }
    ::freeaddrinfo(found);
    return problem;
}

}  // namespace

int InitProgramFolder(const PlatformFacts& platform, std::string& report) {
    const std::string path = SettingsFilePathFor(platform);
    SettingsRecord record = DefaultSettings();
    record.SettingsFilePath = path;
    record.ProgramFolderFd = platform.ProgramFolderFd;
    const FileAt settingsFile = ProgramFile(record, path);
    struct stat info {};
    if (::fstatat(settingsFile.Folder, settingsFile.Name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        report += path + " : 既にあります (変更しません)\n";
        return 0;
    }
    const std::string out = platform.ProgramFolder + "/out";
    if (!MakeFolder(platform, "ports", report) || !MakeFolder(platform, "out", report)) {
        return 2;
    }
    record.AutoStart = Switch::On;
    record.SaveFolder = out;

    // The file write reports its failure as a box; here it becomes the report's line.
    class Recorder : public SilentOperatorView {
    public:
        void ShowMessage(const std::string& title, const std::string& text, MessageIcon) override {
            failure = title + ": " + text;
        }
        std::string failure;
    } view;
    if (!WriteSettingsFile(record, view)) {
        report += path + " : " + view.failure + "\n";
        return 2;
    }
    report += path + " : 初期値で作成しました (AutoStart=1, SaveFolder=" + out + ")\n";
    return 0;
}

void AddCredentialPassword(SettingsRecord& settings) {
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    if (folder == nullptr || *folder == '\0' || !UsesServerDatabase(settings) ||
        HasPassword(settings.DbConnect)) {
        return;
    }
    std::ifstream file(std::string(folder) + "/" + kDatabasePasswordCredential, std::ios::binary);
    if (!file) {
        return;
    }
    std::string password((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) {
        password.pop_back();
    }
    std::string& connect = settings.DbConnect;
    if (!connect.empty() && connect.back() != ';') {
        connect += ';';
    }
    connect += "PWD=" + Braced(password);
}

int CheckInstance(const PlatformFacts& platform, std::string& report) {
    int code = 0;
    auto line = [&](const std::string& what, std::string problem, int failure) {
        // One line each: a message box's line breaks become spaces.
        for (size_t at = problem.find("\r\n"); at != std::string::npos; at = problem.find("\r\n", at)) {
            problem.replace(at, 2, " ");
        }
        report += what + (problem.empty() ? " : ok\n" : " : NG : " + problem + "\n");
        if (!problem.empty() && code == 0) {
            code = failure;
        }
    };
    SettingsRecord settings;
    std::string problem = LoadSettingsReadOnly(settings, platform);
    const bool saveFolderOnly = !problem.empty() && !settings.SaveFolder.empty() &&
                                problem == settings.SaveFolder + " : 保存ﾌｫﾙﾀﾞが存在しません";
    line("settings " + settings.SettingsFilePath, saveFolderOnly ? std::string() : problem, 2);
    if (code != 0) {
        return code;
    }
    if (!saveFolderOnly && ::access(settings.SaveFolder.c_str(), W_OK) != 0) {
        problem = settings.SaveFolder + " : 保存ﾌｫﾙﾀﾞに書き込めません (" + SystemErrorText(errno) + ")";
    }
    line("save folder " + settings.SaveFolder, problem, 4);
    if (settings.SaveFormat == kSaveFormatMdb) {
        AddCredentialPassword(settings);
        class Recorder : public SilentOperatorView {
        public:
            void ShowMessage(const std::string&, const std::string& text, MessageIcon) override {
                said = text;
            }
            std::string said;
        } view;
        RunState run;
        const std::unique_ptr<OutputStore> store = StoreFor(settings);
        const bool reachable = store != nullptr && store->CheckTarget(settings, run, view);
        line("database " + run.OutputPath, reachable ? std::string() : view.said, 4);
    }
    // The device by the link library's own rule, and why it does not open, in the run's words.
    const std::string port = "COM" + std::to_string(settings.Port);
    const std::string folder = ProgramFolderPath(platform);
    const LinkApi* link = BindQuorlin(folder);
    const std::string what = "port " + port + " (" + PortDevicePath(folder, settings.Port) + ")";
    if (link == nullptr) {
        line(what, LinkLoadProblemLine(QuorlinLoadProblem(folder)), 3);
    } else if (const int32_t opened = link->vbOpenIrCom(settings.Port, settings.Baud, 0); opened != 1) {
        const std::string why = PortOpenProblem(folder, settings.Port, 0, opened);
        line(what, why.empty() ? port + " ｵｰﾌﾟﾝｴﾗｰ" : why, 3);
    } else {
        link->CloseIrCom();
        line(what, "", 3);
    }
    if (settings.SendMail == Switch::On) {
        const std::string problem = MailSettingsProblem(settings);
        line("mail settings", problem, 2);
        if (problem.empty()) {
            line("mail server " + settings.MailServer, MailServerProblem(settings.MailServer), 4);
        }
    }
    return code;
}
