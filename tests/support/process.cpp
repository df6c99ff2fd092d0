#include "support/process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::test {

CommandResult RunCommand(const std::string& command) {
    CommandResult r;
    std::FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool HaveFfmpeg() { return RunCommand("command -v ffmpeg && command -v ffprobe").status == 0; }

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Probe(const std::string& path, const std::string& entries,
                  const std::string& options) {
    std::string out = RunCommand("ffprobe -v error " + options +
                                 " -count_frames -select_streams v:0 -show_entries stream=" +
                                 entries + " -of default=nw=1 " + ShellQuote(path))
                          .output;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string ProbeFirstSegment(const std::string& path, const std::string& scratch) {
    // The segment is the RIFF header and the size it gives, little-endian at offset 4.
    const std::string in = ShellQuote(path);
    const auto cut = RunCommand("head -c $((8 + $(od -An -tu4 -j4 -N4 " + in + "))) " + in +
                                " > " + ShellQuote(scratch));
    return cut.status == 0 ? Probe(scratch, "nb_read_frames", "-use_odml 0") : "";
}

std::vector<uint8_t> FfmpegDecode(const std::string& path, const std::string& pixFmt) {
    const std::string raw =
        RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                   " -map 0:v:0 -f rawvideo -pix_fmt " + pixFmt + " - 2>/dev/null")
            .output;
    return std::vector<uint8_t>(raw.begin(), raw.end());
}

CommandResult MakeFfmpegVideo(const std::string& path, const std::string& source,
                              const std::string& encode) {
    return RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=" + source + " " + encode +
                      " " + ShellQuote(path) + " 2>&1");
}

namespace {

// Runs `body` in a child process; `limit` sets its limits first and returns false on failure.
// An exception must not leave the child: the test framework would catch it there and go on
// running the rest of the tests in the child too.
int ExitCodeInChild(const std::function<bool()>& limit, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        try {
            _exit(limit() ? body() : 120);
        } catch (...) {
            std::abort();
        }
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool UnderAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

bool SetLimit(int resource, uint64_t limit) {
    const rlimit cap{rlim_t(limit), rlim_t(limit)};
    return setrlimit(resource, &cap) == 0;
}

}  // namespace

int ExitCodeUnderFileSizeLimit(uint64_t limit, const std::function<int()>& body) {
    return ExitCodeInChild(
        [&] {
            std::signal(SIGXFSZ, SIG_IGN);  // a refused write, not a killed process
            return SetLimit(RLIMIT_FSIZE, limit);
        },
        body);
}

int ExitCodeUnderMemoryLimit(uint64_t headroom, const std::function<int()>& body) {
    return ExitCodeInChild(
        [&] {
            if (UnderAddressSanitizer()) return true;
            // The first field of statm is the address space in use, in pages.
            std::FILE* f = std::fopen("/proc/self/statm", "r");
            unsigned long long pages = 0;
            const bool read = f && std::fscanf(f, "%llu", &pages) == 1;
            if (f) std::fclose(f);
            return read && SetLimit(RLIMIT_AS, pages * uint64_t(sysconf(_SC_PAGESIZE)) + headroom);
        },
        body);
}

}  // namespace kestrel::test
