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
#include "common/program_folder_lock.h"
#include "common/system_error.h"
#include "mail/mail_message.h"
#include "mail/mail_settings_check.h"
#include "output/database/save_to_database.h"
#include "run/silent_operator_view.h"
#include "run_exit.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "upload/upload_engine.h"

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
        return kExitSettings;
    }
    record.AutoStart = Switch::On;
    record.SaveFolder = out;
    record.MailTls = "1";

    // The file write reports its failure as a box; here it becomes the report's line.
    class Recorder : public SilentOperatorView {
    public:
        void ShowMessage(const std::string& title, const std::string& text, MessageIcon) override {
            failure = title + ": " + text;
        }
        std::string failure;
    } view;
    // With the optional keys, as the settings dialog writes them: MailTls is one.
    if (!WriteSettingsFile(record, view, true)) {
        report += path + " : " + view.failure + "\n";
        return kExitSettings;
    }
    report += path + " : 初期値で作成しました (AutoStart=1, SaveFolder=" + out + ", MailTls=1)\n";
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

int LoadRunSettings(const PlatformFacts& platform, SettingsRecord& settings, std::string& reason) {
    reason = LoadSettingsReadOnly(settings, platform);
    if (reason.empty() && UsesServerDatabase(settings)) {
        reason = DbConnectTooLong(settings);
    }
    if (reason.empty()) {
        // Mail settings that would refuse every mail are found before the port is opened, not after each
        // upload has been stored.
        reason = MailSettingsProblem(settings);
    }
    if (!reason.empty()) {
        // A save folder that is not there yet (a mount at boot) may come back; anything else in the
        // settings needs the administrator.
        const bool saveFolder =
            !settings.SaveFolder.empty() && reason == settings.SaveFolder + " : 保存ﾌｫﾙﾀﾞが存在しません";
        return saveFolder ? kExitPrerequisite : kExitSettings;
    }
    if (::access(".", W_OK) != 0) {
        // The save folder is the current directory now.
        reason = settings.SaveFolder + " : 保存ﾌｫﾙﾀﾞに書き込めません (" + SystemErrorText(errno) + ")";
        return kExitPrerequisite;
    }
    return kExitStored;
}

namespace {

// What the rehearsal of a run showed: the last status line and the last box, as one line each.
class RehearsalView : public SilentOperatorView {
public:
    void AppendStatus(const std::string& text) override { lastAppended = text; }
    void ShowMessage(const std::string&, const std::string& text, MessageIcon) override {
        box = OneLine(text);
    }

    static std::string OneLine(std::string text) {
        for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
            text.replace(at, 2, " ");
        }
        return text;
    }

    std::string lastAppended;
    std::string box;
};

}  // namespace

int CheckInstance(const PlatformFacts& platform, std::string& report) {
    const auto line = [&report](const std::string& what, const std::string& problem) {
        report += what + (problem.empty() ? " : ok\n" : " : NG : " + RehearsalView::OneLine(problem) + "\n");
    };
    SettingsRecord settings;
    std::string reason;
    const int loaded = LoadRunSettings(platform, settings, reason);
    const bool saveFolder = loaded == kExitPrerequisite;
    line("settings " + settings.SettingsFilePath, saveFolder ? std::string() : reason);
    if (loaded != kExitStored) {
        if (saveFolder) {
            line("save folder " + settings.SaveFolder, reason);
        }
        return loaded;
    }
    line("save folder " + settings.SaveFolder, "");
    // A Gathra serving the folder holds the port: that is what a run would meet next.
    if (const std::string holder =
            ProgramFolderLock::Holder(platform.ProgramFolder, platform.ProgramFolderFd);
        !holder.empty()) {
        line("program folder " + platform.ProgramFolder, holder);
        return kExitPrerequisite;
    }

    // The run itself, stopped before its first word to the terminal.
    AddCredentialPassword(settings);
    settings.AutoStart = Switch::Off;
    RunState run;
    run.IsRunning = true;
    RehearsalView view;
    // The link library, SQLite and the port diagnosis reach the folder through its descriptor.
    const std::string folder = ProgramFolderPath(platform);
    UploadContext context{settings, run, view, BindQuorlin(folder)};
    context.ProgramFolder = folder;
    context.StopBeforeTerminal = true;
    const RunOutcome outcome = RunUpload(context);
    std::string why;
    const int code = RunExitCode(outcome, settings, run, "", view.lastAppended, why);
    if (settings.SaveFormat == kSaveFormatMdb) {
        line("database " + run.OutputPath,
             outcome == RunOutcome::DatabaseMissing ? (view.box.empty() ? why : view.box) : std::string());
    }
    if (outcome != RunOutcome::DatabaseMissing) {
        line("port COM" + std::to_string(settings.Port) + " (" + PortDevicePath(folder, settings.Port) + ")",
             outcome == RunOutcome::PortNotOpened ? why : std::string());
    }
    if (code == kExitStored && settings.SendMail == Switch::On) {
        line("mail server " + settings.MailServer, MailServerProblem(settings.MailServer));
    }
    return code;
}
