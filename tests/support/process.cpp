#include "support/process.h"

#include <csignal>
#include <cstdio>

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

bool HaveTool(const std::string& tool) {
    return RunCommand("command -v " + tool + " >/dev/null 2>&1").status == 0;
}

bool HaveFfmpeg() { return HaveTool("ffmpeg") && HaveTool("ffprobe"); }

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Probe(const std::string& path, const std::string& entries) {
    std::string out = RunCommand(
                          "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                          "stream=" +
                          entries + " -of default=nw=1 " + ShellQuote(path))
                          .output;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
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

int ExitCodeUnderFileSizeLimit(uint64_t limit, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);  // a refused write, not a killed process
        const rlimit cap{rlim_t(limit), rlim_t(limit)};
        _exit(setrlimit(RLIMIT_FSIZE, &cap) == 0 ? body() : 120);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace kestrel::test
