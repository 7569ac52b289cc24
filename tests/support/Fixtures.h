#pragma once
// Test fixtures: real clips made by the ffmpeg CLI (and other writers) at test
// time, and ffprobe as the independent reader of what our code writes.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class QCoreApplication;

namespace testsupport {

// The process's QCoreApplication for tests without widgets, made on first use.
QCoreApplication& CoreApp();

// A fresh, empty folder for one test (under the build tree).
std::string TempDir(const std::string& name);

// Runs a shell command; returns its exit status and, when asked, its stdout.
int Run(const std::string& command, std::string* output = nullptr);

// Starts args[0] with args, its standard output and error written to
// dir/stdout and dir/err, the variables of env set in it alone; its process
// id, to signal and wait for.
int StartProcess(std::vector<std::string> args, const std::string& dir,
                 const std::vector<std::pair<std::string, std::string>>& env = {});

// The splicora-cli of this build.
std::string CliPath();

// What one run of splicora-cli gave: its exit status, stdout and stderr.
struct CliResult {
  int status = -1;
  std::string out, err;
};

// Runs splicora-cli with arguments (already quoted for the shell), after
// env ("NAME=value ..." or empty).
CliResult RunCli(const std::string& arguments, const std::string& env = "");

// True when an executable of that name is on the PATH.
bool HaveCommand(const std::string& name);

// Quotes one argument for the shell.
std::string Quote(const std::string& text);

// Runs `ffmpeg -y -v error <arguments> <path>`; returns "" on success or the
// command and its output on failure (use with ASSERT_EQ(..., "")).
std::string MakeClip(const std::string& path, const std::string& arguments);

// A clip made once per build tree and reused by every test that asks for the
// same arguments. Returns its path; an empty path when ffmpeg failed.
std::string CachedClip(const std::string& name, const std::string& arguments);

// A clip made once per build tree by another writer's command (GStreamer,
// MEncoder): "{out}" in command stands for the file to write. Empty path
// when the command failed or its program is missing.
std::string CachedCommandClip(const std::string& name, const std::string& command);

// GStreamer's avimux with MJPEG 160 x 120 at 25 fps and CBR MP3 (128 kbit/s,
// 44.1 kHz stereo; a byte-timed audio header): a command for CachedCommandClip.
std::string GstMjpegMp3Command(int frames, int audioBuffersOf1024);

// Runs ffprobe with the given arguments on path and returns stdout.
std::string Ffprobe(const std::string& path, const std::string& arguments);

// `ffprobe -show_packets` of one stream (e.g. "v:0"): size and key flag of
// each packet in file order.
struct ProbePacket {
  int64_t size = 0;
  bool key = false;
  std::string ptsTime;
};
std::vector<ProbePacket> ProbePackets(const std::string& path, const std::string& stream);

// "key=value" lines (ffprobe's `-of default=nw=1`) as a map.
std::map<std::string, std::string> KeyValues(const std::string& text);

// ffprobe's key=value fields: Ffprobe(path, arguments + " -of default=nw=1").
std::map<std::string, std::string> ProbeFields(const std::string& path, const std::string& arguments);

// Per stream, (size, adler32) of each packet ffmpeg's demuxer delivers, in
// order (`-f framecrc`). Size-0 fillers the CLI adds for raw-video drop frames
// are left out: they are no chunk.
std::map<int, std::vector<std::pair<int64_t, uint32_t>>> FrameCrcs(const std::string& path);

// The first audio stream decoded by ffmpeg to 16-bit samples; options go
// before the output (for example "-ac 1 -ar 44100").
std::vector<int16_t> DecodedPcm(const std::string& path, const std::string& options = "");

// Reads a whole file.
std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace testsupport
