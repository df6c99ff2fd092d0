// Running the programs under test and the independent tools (ffmpeg, ffprobe) from tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel::test {

struct CommandResult {
    int status = -1;     // exit status, or -1 when the command did not exit normally
    std::string output;  // what it wrote to stdout (and stderr, when asked with 2>&1)
};

// Runs `command` through the shell and collects its standard output.
CommandResult RunCommand(const std::string& command);

// True when both ffmpeg and ffprobe can be run.
bool HaveFfmpeg();

std::string ShellQuote(const std::string& s);

// ffprobe's "key=value" lines, without the last line end, of `entries` (comma-separated stream
// fields) of the first video stream; frames are counted by decoding (nb_read_frames).
// `options` go to ffprobe before the input.
std::string Probe(const std::string& path, const std::string& entries,
                  const std::string& options = "");

// What a player that knows only AVI 1.0 reads of `path`: ffprobe's frame count (as Probe gives
// it), without OpenDML, of the first RIFF segment alone, copied to `scratch` for it.
std::string ProbeFirstSegment(const std::string& path, const std::string& scratch);

// Every frame of the first video stream of `path` as ffmpeg decodes it, packed as `pixFmt`.
std::vector<uint8_t> FfmpegDecode(const std::string& path, const std::string& pixFmt = "bgr24");

// Writes `path` from ffmpeg's test pattern: `source` are testsrc options ("size=33x17:rate=5"),
// `encode` the output options.
CommandResult MakeFfmpegVideo(const std::string& path, const std::string& source,
                              const std::string& encode);

// Runs `body` in a child process whose files cannot grow past `limit` bytes, as a full disk
// would stop it; the child's exit code (what `body` returned), or -1. Assertions do not reach
// the test from the child: `body` reports through its result.
int ExitCodeUnderFileSizeLimit(uint64_t limit, const std::function<int()>& body);

// The same with `headroom` bytes of address space past the child's start, so that an allocation
// sized by an absurd header fails instead of reserving memory lazily. Under AddressSanitizer
// (terabytes of shadow memory) no limit is set: its max_allocation_size_mb stands in.
int ExitCodeUnderMemoryLimit(uint64_t headroom, const std::function<int()>& body);

}  // namespace kestrel::test
