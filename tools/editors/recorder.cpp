// editor-recorder: the editors' stand-in for tests. Writes how it was started
// to the file named by GD_EDITOR_RECORD, stays GD_EDITOR_HOLD_MS milliseconds
// (0 when unset) as an editor someone works in would, and exits 0:
//   argv=ELEMENT   one line per argument, in order
//   cwd=DIR        the working directory
//   fd=N           one line per open descriptor above 2

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Taken before the record file is opened, so that one does not show up.
std::vector<int> inheritedDescriptors() {
    std::vector<int> open;
    for (int fd = 3; fd < 1024; ++fd)
        if (::fcntl(fd, F_GETFD) != -1) open.push_back(fd);
    return open;
}

}  // namespace

int main(int argc, char** argv) {
    const char* recordPath = std::getenv("GD_EDITOR_RECORD");
    if (recordPath == nullptr) return 2;
    const std::vector<int> descriptors = inheritedDescriptors();
    std::string cwd(4096, '\0');
    if (::getcwd(cwd.data(), cwd.size()) == nullptr) return 3;
    cwd.resize(cwd.find('\0'));

    std::ofstream record(recordPath, std::ios::trunc);
    for (int i = 0; i < argc; ++i) record << "argv=" << argv[i] << '\n';
    record << "cwd=" << cwd << '\n';
    for (int fd : descriptors) record << "fd=" << fd << '\n';
    record.close();
    if (const char* hold = std::getenv("GD_EDITOR_HOLD_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(hold)));
    return record ? 0 : 4;
}
