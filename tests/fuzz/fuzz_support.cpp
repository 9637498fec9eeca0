#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

const std::string& ScratchFolder() {
    // Never destroyed: the exit handler below still needs it after static destructors have run.
    static const std::string& folder = *new std::string([] {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/gathra-fuzz-XXXXXX" : "/tmp/gathra-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        // GATHRA_FUZZ_KEEP leaves the folder behind, to look at what the last input wrote.
        if (std::getenv("GATHRA_FUZZ_KEEP") != nullptr) {
            return pattern;
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchFolder(), ignored);
        });
        return pattern;
    }());
    return folder;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0;
}
