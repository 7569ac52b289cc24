#include "tests/support/Fixtures.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <unistd.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace testsupport {

QCoreApplication& CoreApp() {
  static int argc = 1;
  static char name[] = "test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

static std::string TestRoot() {
  const char* env = std::getenv("SPLICORA_TEST_TMP");
  std::string root = env && *env ? env : std::string(SPLICORA_BINARY_DIR) + "/test-tmp";
  fs::create_directories(root);
  return root;
}

std::string TempDir(const std::string& name) {
  fs::path dir = fs::path(TestRoot()) / (name + "-" + std::to_string(getpid()));
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  return dir.string();
}

int StartProcess(std::vector<std::string> args, const std::string& dir,
                 const std::vector<std::pair<std::string, std::string>>& env) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  if (!freopen((dir + "/err").c_str(), "w", stderr) || !freopen((dir + "/stdout").c_str(), "w", stdout)) _exit(126);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

int Run(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output) *output = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string CliPath() { return std::string(SPLICORA_BINARY_DIR) + "/cli/splicora-cli"; }

CliResult RunCli(const std::string& arguments, const std::string& env) {
  const std::string dir = TempDir("cli-run");
  CliResult r;
  r.status = Run(env + " " + Quote(CliPath()) + " " + arguments + " 2>" + Quote(dir + "/err"), &r.out);
  std::ifstream err(dir + "/err");
  r.err.assign(std::istreambuf_iterator<char>(err), {});
  return r;
}

bool HaveCommand(const std::string& name) {
  return Run("command -v " + Quote(name) + " >/dev/null 2>&1") == 0;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

std::string MakeClip(const std::string& path, const std::string& arguments) {
  std::string command = "ffmpeg -nostdin -y -v error " + arguments + " " + Quote(path) + " 2>&1";
  std::string output;
  if (Run(command, &output) != 0) return command + "\n" + output;
  return "";
}

std::string CachedClip(const std::string& name, const std::string& arguments) {
  fs::path dir = fs::path(SPLICORA_BINARY_DIR) / "test-fixtures";
  fs::create_directories(dir);
  size_t hash = std::hash<std::string>{}(arguments);
  fs::path path = dir / (std::to_string(hash) + "-" + name);
  if (fs::exists(path)) return path.string();
  // Made under a private name and renamed, so parallel tests never see half a file.
  fs::path partial = dir / (".partial-" + std::to_string(getpid()) + "-" + name);
  if (!MakeClip(partial.string(), arguments).empty()) {
    fs::remove(partial);
    return "";
  }
  fs::rename(partial, path);
  return path.string();
}

std::string CachedCommandClip(const std::string& name, const std::string& command) {
  fs::path dir = fs::path(SPLICORA_BINARY_DIR) / "test-fixtures";
  fs::create_directories(dir);
  fs::path path = dir / (std::to_string(std::hash<std::string>{}(command)) + "-" + name);
  if (fs::exists(path)) return path.string();
  fs::path partial = dir / (".partial-" + std::to_string(getpid()) + "-" + name);
  std::string filled = command;
  for (size_t at; (at = filled.find("{out}")) != std::string::npos;) filled.replace(at, 5, Quote(partial.string()));
  if (Run("timeout 120 " + filled + " >/dev/null 2>&1") != 0 || !fs::exists(partial) || fs::file_size(partial) == 0) {
    fs::remove(partial);
    return "";
  }
  fs::rename(partial, path);
  return path.string();
}

std::string GstMjpegMp3Command(int frames, int audioBuffersOf1024) {
  return "gst-launch-1.0 -q videotestsrc num-buffers=" + std::to_string(frames) +
         " ! video/x-raw,width=160,height=120,framerate=25/1 ! jpegenc ! avimux name=m ! filesink location={out} "
         "audiotestsrc num-buffers=" + std::to_string(audioBuffersOf1024) +
         " samplesperbuffer=1024 ! audio/x-raw,rate=44100,channels=2 ! lamemp3enc target=bitrate bitrate=128 cbr=true ! m.";
}

std::string Ffprobe(const std::string& path, const std::string& arguments) {
  std::string output;
  Run("ffprobe -v error " + arguments + " " + Quote(path), &output);
  return output;
}

std::vector<ProbePacket> ProbePackets(const std::string& path, const std::string& stream) {
  std::string text = Ffprobe(path, "-select_streams " + stream +
                                       " -show_entries packet=size,flags,pts_time -of csv=p=0");
  std::vector<ProbePacket> packets;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // Fields come in ffprobe's own order: pts_time,size,flags
    std::vector<std::string> fields;
    std::stringstream parts(line);
    std::string field;
    while (std::getline(parts, field, ',')) fields.push_back(field);
    if (fields.size() < 3) continue;
    ProbePacket p;
    p.ptsTime = fields[0];
    p.size = std::atoll(fields[1].c_str());
    p.key = fields[2].find('K') != std::string::npos;
    packets.push_back(p);
  }
  return packets;
}

std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

std::map<std::string, std::string> ProbeFields(const std::string& path, const std::string& arguments) {
  return KeyValues(Ffprobe(path, arguments + " -of default=nw=1"));
}

std::map<int, std::vector<std::pair<int64_t, uint32_t>>> FrameCrcs(const std::string& path) {
  std::string text;
  Run("ffmpeg -nostdin -v error -i " + Quote(path) + " -map 0 -c copy -f framecrc - 2>/dev/null", &text);
  std::map<int, std::vector<std::pair<int64_t, uint32_t>>> crcs;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream parts(line);
    std::string field;
    while (std::getline(parts, field, ',')) f.push_back(field);
    if (f.size() < 6 || std::stoll(f[4]) == 0) continue;
    crcs[std::stoi(f[0])].push_back({std::stoll(f[4]), static_cast<uint32_t>(std::stoul(f[5], nullptr, 16))});
  }
  return crcs;
}

std::vector<int16_t> DecodedPcm(const std::string& path, const std::string& options) {
  std::string raw;
  Run("ffmpeg -v error -i " + Quote(path) + " -map 0:a:0 " + options + " -f s16le - 2>/dev/null", &raw);
  std::vector<int16_t> samples(raw.size() / 2);
  std::memcpy(samples.data(), raw.data(), samples.size() * 2);
  return samples;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testsupport
