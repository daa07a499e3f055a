#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "grouptrace/file_source.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_reader.h"
#include "grouptrace/version.h"
#include "inspect_test_support.h"
#include "json_reader.h"
#include "manifest/manifest.h"
#include "parameters/my_io.h"
#include "parameters/parameter_stream.h"
#include "seed_argument.h"

namespace grouptrace {
namespace {

using testing::JsonValue;
using testing::parseJson;
using testing::readFile;
using testing::runCommand;
using testing::ScratchDir;
using testing::shellQuoted;
using testing::writeFile;

std::string generator() {
  return testing::launched(GROUPTRACE_BINARY);
}

std::string q(const std::filesystem::path& path) {
  return shellQuoted(path.string());
}

TraceSummary summaryOf(const std::filesystem::path& trace) {
  FileSource file(trace.string());
  TraceReader reader(file);
  TraceEvent event;
  while (reader.next(event)) {
    if (const auto* summary = std::get_if<TraceSummary>(&event)) return *summary;
  }
  throw std::runtime_error("no summary in " + trace.string());
}

std::set<std::string> namesIn(const ScratchDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The stored cases written to files: each trace byte for byte, and a manifest
// that is valid JSON and agrees with the trace as a reader sees it.
TEST(TraceFiles, EachTraceIsWrittenWholeWithAManifestThatDescribesIt) {
  ScratchDir scratch;
  const auto trace = scratch / "run \"1\".trace", manifest = scratch / "run.json";
  int cases = 0;
  for (const auto& stored : testing::goldenTraces()) {
    auto base = stored;
    base.replace_extension();
    const std::string args = std::filesystem::exists(base.string() + ".args")
                                 ? readFile(base.string() + ".args")
                                 : std::string();
    const SEED_type seed = *parseSeedArgument(args.c_str());
    const auto r = runCommand(generator() + " --seed=" + std::to_string(seed) + " -p " +
                                  q(base.string() + ".params") + " -o " + q(trace) +
                                  " --manifest " + q(manifest),
                              scratch);
    SCOPED_TRACE(stored.filename().string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(readFile(trace) == readFile(stored)) << "the trace differs";

    const JsonValue m = parseJson(readFile(manifest));
    const TraceSummary summary = summaryOf(trace);
    EXPECT_EQ(m["version"].text, kVersion);
    EXPECT_EQ(m["seed"].integer(), seed);
    FileSource in(base.string() + ".params");
    myIO io(in);
    const Parameters p = readParameters(io);
    ASSERT_EQ(m["parameters"].members.size(), kParameterNames.size());
    for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
      EXPECT_EQ(m["parameters"][kParameterNames[i]].integer(), parameterAt(p, i));
    }
    EXPECT_EQ(m["status"].text, "complete");
    EXPECT_EQ(m["trans"].integer(), summary.trans);
    EXPECT_EQ(m["joins"].integer(), summary.joins);
    EXPECT_EQ(m["leaves"].integer(), summary.leaves);
    EXPECT_EQ(m["requests"].integer(), summary.joins + summary.leaves);
    EXPECT_EQ(m["bytes"].integer(), static_cast<long long>(std::filesystem::file_size(trace)));
    EXPECT_EQ(m["output"].text, trace.string());
    EXPECT_EQ(m["format"].text, "trace");
    ++cases;
  }
  EXPECT_GE(cases, 12);
  EXPECT_FALSE(parseJson(readFile(manifest)).has("legacyNumbers"));

  // A stream read the legacy way says so in its record.
  writeFile(scratch / "p", "3\n2\n6,0\n0\n2\n1\n100\n10\n1\n5\n1\n4\n1\n");
  const auto legacy = runCommand(generator() + " --legacy-numbers -p " + q(scratch / "p") + " -o " +
                                     q(trace) + " --manifest " + q(manifest),
                                 scratch);
  ASSERT_EQ(legacy.status, 0) << legacy.err;
  const JsonValue record = parseJson(readFile(manifest));
  EXPECT_EQ(record["legacyNumbers"].kind, JsonValue::Kind::boolean);
  EXPECT_EQ(record["legacyNumbers"].text, "true");
  EXPECT_EQ(record["parameters"]["maxTrans"].integer(), 6);
  std::filesystem::remove(scratch / "p");

  // A file like any the user creates, and no temporary file left beside it.
  const mode_t mask = umask(0);
  umask(mask);
  struct stat info;
  ASSERT_EQ(stat(trace.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask);
  EXPECT_EQ(namesIn(scratch),
            (std::set<std::string>{"command.err", "command.out", "run \"1\".trace", "run.json"}));
}

// A run that fails part way (a file-size limit, a run that cannot progress)
// leaves the files it was to replace exactly as they were, and nothing else.
TEST(TraceFiles, AFailedRunLeavesTheOldFilesAndNoTemporaryOnes) {
  ScratchDir scratch;
  const auto trace = scratch / "t", manifest = scratch / "m";
  const std::string large = "100\n10\n200000\n0\n20\n1\n100\n10\n1\n5\n1\n4\n0\n";
  const std::string stalls = "1\n2\n10\n0\n3\n1\n100\n10\n1\n5\n1\n4\n0\n";
  for (const std::string& stream : {large, stalls}) {
    writeFile(scratch / "p", stream);
    writeFile(trace, "an older trace\n");
    writeFile(manifest, "{}\n");
    // ulimit -f counts blocks of 512 bytes: the trace stops at 16 KiB.
    const auto r = runCommand("ulimit -f 32; exec " + generator() + " -p " + q(scratch / "p") +
                                  " -o " + q(trace) + " --manifest " + q(manifest),
                              scratch);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(stream == large ? "File too large" : "cannot progress"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(trace.string() + " is unchanged"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(trace), "an older trace\n");
    EXPECT_EQ(readFile(manifest), "{}\n");
    EXPECT_EQ(namesIn(scratch),
              (std::set<std::string>{"command.err", "command.out", "m", "p", "t"}));
  }
}

// "> FILE" writes through a symbolic link and into a pipe or a device; so
// does -o, where a rename would replace the link, or turn /dev/null into a file.
TEST(TraceFiles, LinksPipesAndDevicesAreWrittenThrough) {
  ScratchDir scratch;
  writeFile(scratch / "p", "3\n2\n6\n0\n2\n1\n100\n10\n1\n5\n1\n4\n1\n");
  const std::string run = generator() + " 5 -p " + q(scratch / "p");
  const std::string trace = runCommand(run, scratch).out;
  writeFile(scratch / "real", "old\n");
  std::filesystem::create_symlink("real", scratch / "link");
  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
  const auto r = runCommand("timeout 20 cat " + q(scratch / "fifo") + " >" + q(scratch / "got") +
                                " & " + run + " -o " + q(scratch / "fifo") + " && " + run + " -o " +
                                q(scratch / "link") + "; status=$?; wait; exit $status",
                            scratch);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(scratch / "got"), trace);
  EXPECT_EQ(readFile(scratch / "real"), trace);
  EXPECT_TRUE(std::filesystem::is_symlink(scratch / "link"));
  EXPECT_TRUE(std::filesystem::is_fifo(scratch / "fifo"));
}

// On standard output a stalled trace is still delivered whole, so its
// manifest is kept and says how the run ended.
TEST(TraceFiles, AStalledRunOnStandardOutputIsRecordedAsStalled) {
  ScratchDir scratch;
  writeFile(scratch / "p", "1\n2\n10\n0\n3\n1\n100\n10\n1\n5\n1\n4\n0\n");
  const auto r = runCommand(
      generator() + " --manifest " + q(scratch / "m") + " <" + q(scratch / "p"), scratch);
  EXPECT_EQ(r.status, 1);
  const JsonValue m = parseJson(readFile(scratch / "m"));
  EXPECT_EQ(m["status"].text, "stalled");
  EXPECT_EQ(m["output"].kind, JsonValue::Kind::null);
  EXPECT_EQ(m["bytes"].integer(), static_cast<long long>(r.out.size()));
  EXPECT_EQ(m["requests"].integer(), 0);
}

std::string inspector() {
  return testing::launched(GROUPTRACE_INSPECT_BINARY);
}

std::set<std::string> namesIn(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// Each program that writes a file: its arguments for an output path, the
// status it gives when it cannot write, and how its output starts.
struct Writer {
  const char* name;
  // `out` is the file written, `input` what the program reads (a parameter
  // file, a trace, or - for standard input) and `trace` where the generator's
  // trace goes while the manifest is the file under test.
  std::function<std::vector<std::string>(const std::string& out, const std::string& input,
                                         const std::string& trace)>
      args;
  bool generator;      // reads parameters rather than a trace
  bool manifest;       // writes its file only after a trace
  const char* suffix;  // the output's name must end so (plot: .svg)
  const char* starts;
  int failure() const { return generator ? 1 : 2; }
};

// A command line for the shell, through the emulator where the build needs one.
std::string shellLine(const std::vector<std::string>& args) {
  const std::string launcher = GROUPTRACE_LAUNCHER;
  std::string line = launcher.empty() ? "" : shellQuoted(launcher);
  for (const std::string& a : args) {
    if (!line.empty()) line += ' ';
    line += shellQuoted(a);
  }
  return line;
}

// The inputs the writers read, in `dir`: a parameter stream "p" and a trace
// "t.trace" made from it.
std::vector<Writer> writers(const std::filesystem::path& dir) {
  writeFile(dir / "p", "100\n10\n20000\n0\n5\n1\n100\n10\n1\n5\n1\n4\n0\n");
  const auto r =
      std::system((generator() + " 3 -p " + q(dir / "p") + " -o " + q(dir / "t.trace")).c_str());
  if (r != 0) throw std::runtime_error("cannot make the input trace");
  using Args = std::vector<std::string>;
  return {
      {"grouptrace -o",
       [](const std::string& out, const std::string& input, const std::string&) {
         return Args{GROUPTRACE_BINARY, "3", "-p", input, "-o", out};
       },
       true, false, "", "// Print Group requests"},
      {"grouptrace --manifest",
       [](const std::string& out, const std::string& input, const std::string& trace) {
         return Args{GROUPTRACE_BINARY, "3", "-p", input, "-o", trace, "--manifest", out};
       },
       true, true, "", "{\n  \"version\""},
      {"grouptrace-inspect plot -o",
       [](const std::string& out, const std::string& input, const std::string&) {
         return Args{GROUPTRACE_INSPECT_BINARY, "plot", "-o", out, input};
       },
       false, false, ".svg", "<?xml"},
      {"grouptrace-inspect export -o",
       [](const std::string& out, const std::string& input, const std::string&) {
         return Args{GROUPTRACE_INSPECT_BINARY, "export", "--format", "csv", "-o", out, input};
       },
       false, false, "", "phase,kind,node"},
  };
}

// The writer's shell command for `out`, reading the inputs that writers() made
// in `dir`, its trace (if a manifest is written) going to `trace`.
std::string commandFor(const Writer& w, const std::filesystem::path& dir,
                       const std::filesystem::path& out, const std::string& trace = "/dev/null") {
  return shellLine(w.args(out.string(), (dir / (w.generator ? "p" : "t.trace")).string(), trace));
}

// A file-size limit and a name as long as a file name can be: an old file is
// replaced whole or kept as it was, and no temporary file is left either way.
TEST(TraceFiles, EveryWriterIsWholeOrAbsentUnderALimitAndWithTheLongestName) {
  ScratchDir scratch;
  const auto out = scratch / "out";
  const auto longNull = scratch / std::string(200, 'd');
  std::filesystem::create_symlink("/dev/null", longNull);
  for (const Writer& w : writers(scratch.path())) {
    SCOPED_TRACE(w.name);
    std::filesystem::remove_all(out);
    std::filesystem::create_directory(out);
    const auto file = out / (std::string("old") + w.suffix);
    writeFile(file, "old\n");
    // ulimit -f counts blocks of 512 bytes: one block holds the messages on
    // standard error, and no writer's output. The manifest records the trace's
    // name, which a long one makes longer than a block.
    const auto limited = runCommand(
        "ulimit -f 1; exec " + commandFor(w, scratch.path(), file, longNull.string()), scratch);
    EXPECT_EQ(limited.status, w.failure()) << limited.err;
    EXPECT_NE(limited.err.find("File too large"), std::string::npos) << limited.err;
    EXPECT_EQ(readFile(file), "old\n");
    EXPECT_EQ(namesIn(out), std::set<std::string>{file.filename().string()});

    // 255 bytes, where the temporary file's name would be 263 if not cut.
    const std::string longName = std::string(255 - std::strlen(w.suffix), 'n') + w.suffix;
    writeFile(out / longName, "old\n");
    const auto r = runCommand(commandFor(w, scratch.path(), out / longName), scratch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(out / longName).rfind(w.starts, 0), 0u);
    EXPECT_EQ(namesIn(out), (std::set<std::string>{file.filename().string(), longName}));
  }
}

TEST(TraceFiles, EveryWriterKeepsTheOldFileOnAFullDisk) {
  ScratchDir scratch;
  const auto disk = scratch / "disk";
  const testing::SmallDisk small(disk, "64k");
  if (!small.mounted()) GTEST_SKIP() << "mounting a small tmpfs is not allowed here";
  for (const Writer& w : writers(scratch.path())) {
    SCOPED_TRACE(w.name);
    const auto file = disk / (std::string("old") + w.suffix);
    writeFile(file, "old\n");
    small.fill("filler");
    const auto r = runCommand(commandFor(w, scratch.path(), file), scratch);
    EXPECT_EQ(r.status, w.failure()) << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(file), "old\n");
    EXPECT_EQ(namesIn(disk), (std::set<std::string>{file.filename().string(), "filler"}));
    std::filesystem::remove(disk / "filler");
    std::filesystem::remove(file);
  }
}

// The directory is synced after the rename, which needs it open for reading:
// one that cannot be read must fail before the run, not once the old file has
// been replaced and the manifest is yet to be written.
TEST(TraceFiles, EveryWriterRefusesADirectoryItCannotReadBeforeItWrites) {
  if (geteuid() != 0 || std::system("command -v setpriv >/dev/null") != 0) {
    GTEST_SKIP() << "needs root and setpriv to run as a user the directory refuses";
  }
  ScratchDir scratch;
  std::filesystem::permissions(scratch.path(), std::filesystem::perms::owner_all |
                                                   std::filesystem::perms::group_exec |
                                                   std::filesystem::perms::others_exec);
  const auto out = scratch / "write-only";
  std::filesystem::create_directory(out);
  for (const Writer& w : writers(scratch.path())) {
    SCOPED_TRACE(w.name);
    const auto file = out / (std::string("old") + w.suffix);
    writeFile(file, "old\n");
    std::filesystem::permissions(file, std::filesystem::perms::all);
    // Writable and searchable by everyone, readable by no one but root.
    std::filesystem::permissions(out, std::filesystem::perms::all &
                                          ~std::filesystem::perms::group_read &
                                          ~std::filesystem::perms::others_read);
    const auto r = runCommand("exec setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                  commandFor(w, scratch.path(), file),
                              scratch);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("cannot open the directory " + out.string() + ": Permission denied"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(readFile(file), "old\n");
    EXPECT_EQ(namesIn(out), std::set<std::string>{file.filename().string()});
    std::filesystem::remove(file);
  }
}

// The suite runs as root, for whom every file is writable: the check that a
// read-only file is not replaced by a rename is seen only as another user.
TEST(TraceFiles, EveryWriterRefusesAFileItMayNotWrite) {
  if (geteuid() != 0 || std::system("command -v setpriv >/dev/null") != 0) {
    GTEST_SKIP() << "needs root and setpriv to run as a user the file refuses";
  }
  ScratchDir scratch;
  std::filesystem::permissions(scratch.path(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const auto out = scratch / "open";
  std::filesystem::create_directory(out);
  // Anyone may make and rename files here: only the file's own mode stops them.
  std::filesystem::permissions(out, std::filesystem::perms::all);
  for (const Writer& w : writers(scratch.path())) {
    SCOPED_TRACE(w.name);
    const auto file = out / (std::string("old") + w.suffix);
    writeFile(file, "old\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::others_read);
    const auto r = runCommand("exec setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                  commandFor(w, scratch.path(), file),
                              scratch);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("cannot write " + file.string() + ": Permission denied"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(readFile(file), "old\n");
    EXPECT_EQ(namesIn(out), std::set<std::string>{file.filename().string()});
    std::filesystem::remove(file);
  }
}

// A manifest that cannot be written once the trace is complete: neither file
// changes, so no old manifest is left to describe a new trace.
TEST(TraceFiles, AManifestThatCannotBeWrittenLeavesBothFilesAsTheyWere) {
  ScratchDir scratch;
  const auto disk = scratch / "disk";
  const testing::SmallDisk small(disk, "64k");
  if (!small.mounted()) GTEST_SKIP() << "mounting a small tmpfs is not allowed here";
  writeFile(scratch / "p", "20\n3\n100\n0\n4\n1\n100\n10\n1\n5\n1\n4\n0\n");
  const auto plain = runCommand(generator() + " -p " + q(scratch / "p"), scratch);
  ASSERT_EQ(plain.status, 0) << plain.err;
  writeFile(disk / "m.json", "old\n");
  small.fill("filler");
  // Room for the trace's pages and nothing more.
  const std::uintmax_t pages = (plain.out.size() + 4095) / 4096 * 4096;
  std::filesystem::resize_file(disk / "filler",
                               std::filesystem::file_size(disk / "filler") - pages);
  const auto r = runCommand(generator() + " -p " + q(scratch / "p") + " -o " + q(disk / "t") +
                                " --manifest " + q(disk / "m.json"),
                            scratch);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(disk / "m.json"), "old\n");
  EXPECT_EQ(namesIn(disk), (std::set<std::string>{"filler", "m.json"}));
}

// Two runs on one pair: each puts its pair in place under the folder's lock,
// so one run's manifest never ends up beside the other's trace. A run meets
// the lock held (here by the test) and waits, its files not yet in place.
TEST(TraceFiles, APairIsPutInPlaceUnderTheLockOfItsFolder) {
  ScratchDir scratch;
  writeFile(scratch / "p", "30\n4\n500\n0\n6\n1\n512\n64\n5\n50\n1\n6\n0\n");
  const auto out = scratch / "out";
  std::filesystem::create_directory(out);
  writeFile(out / "t", "old\n");
  const int folder = open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  std::vector<std::string> command = {
      GROUPTRACE_BINARY,    "-p",         (scratch / "p").string(), "-o",
      (out / "t").string(), "--manifest", (out / "m.json").string()};
  const std::string launcher = GROUPTRACE_LAUNCHER;
  if (!launcher.empty()) command.insert(command.begin(), launcher);
  const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  bool waited = false;
  const auto r = testing::runChild(command, devNull, devNull, [&](pid_t pid) {
    const std::string waiter = ": -> FLOCK  ADVISORY  WRITE " + std::to_string(pid) + " ";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!waited && std::chrono::steady_clock::now() < deadline) {
      waited = readFile("/proc/locks").find(waiter) != std::string::npos;
      siginfo_t ended{};
      if (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          ended.si_pid != 0) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (waited) {
      EXPECT_EQ(readFile(out / "t"), "old\n");
      EXPECT_FALSE(std::filesystem::exists(out / "m.json"));
    }
    flock(folder, LOCK_UN);
  });
  close(devNull);
  close(folder);
  EXPECT_TRUE(waited) << "the run put its pair in place without the lock";
  ASSERT_EQ(r.status, 0) << r.err;
  const auto verified = runCommand(
      testing::launched(GROUPTRACE_INSPECT_BINARY) + " verify " + q(out / "m.json"), scratch);
  EXPECT_EQ(verified.status, 0) << verified.err;
}

// Runs `command` (argv, no shell), giving it `before` on standard input; once
// a file whose name starts with `prefix` appears in `dir` (a writer's
// temporary file), and holds bytes when `written` is set, stops the program,
// calls `meanwhile`, lets it go on and gives it `after`: a program that reads
// its input whole is still reading until then.
testing::ChildResult runPausedOnceWriting(const std::vector<std::string>& command,
                                          std::string_view before, std::string_view after,
                                          const std::filesystem::path& dir,
                                          const std::string& prefix, bool written,
                                          const std::function<void()>& meanwhile, bool& paused) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MODIFY);
  paused = false;
  const auto writeAll = [](int fd, std::string_view text) {
    while (!text.empty()) {
      const ssize_t n = write(fd, text.data(), text.size());
      if (n <= 0) return;
      text.remove_prefix(static_cast<std::size_t>(n));
    }
  };
  auto result = testing::runChild(command, fds[0], devNull, [&](pid_t pid) {
    close(fds[0]);
    writeAll(fds[1], before);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!paused && std::chrono::steady_clock::now() < deadline) {
      for (const std::string& name : namesIn(dir)) {
        std::error_code error;
        if (name.rfind(prefix, 0) == 0 &&
            (!written || std::filesystem::file_size(dir / name, error) > 0) && !error &&
            kill(pid, SIGSTOP) == 0) {
          paused = true;
        }
      }
      if (paused) break;
      // Woken by the next file created or written; the time-out only bounds a
      // lost race.
      pollfd p{watch, POLLIN, 0};
      char events[4096];
      if (poll(&p, 1, 100) > 0)
        while (read(watch, events, sizeof events) > 0) {
        }
      siginfo_t ended{};
      if (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          ended.si_pid != 0) {
        break;
      }
    }
    if (paused) {
      meanwhile();
      kill(pid, SIGCONT);
    }
    writeAll(fds[1], after);
    close(fds[1]);
  });
  close(watch);
  close(devNull);
  return result;
}

// The name became a directory while the output was being written: the rename
// at the end fails, the status says so, and the temporary file goes. A
// manifest's trace, already renamed, is put back as it was (or removed when
// it is new): a pair is committed together or not at all.
TEST(TraceFiles, EveryWriterFailsSoundlyWhenItsNameBecomesADirectory) {
  ScratchDir scratch;
  const auto out = scratch / "out";
  const std::string launcher = GROUPTRACE_LAUNCHER;
  // The generator's run lasts long enough to be stopped while it writes.
  writeFile(scratch / "long", "100\n10\n1000000\n0\n5\n1\n100\n10\n1\n5\n1\n4\n0\n");
  for (const Writer& w : writers(scratch.path())) {
    for (const bool oldTrace : {false, true}) {
      if (oldTrace && !w.manifest) continue;
      SCOPED_TRACE(std::string(w.name) + (oldTrace ? ", over an old trace" : ""));
      std::filesystem::remove_all(out);
      std::filesystem::create_directory(out);
      const auto file = out / (std::string("new") + w.suffix);
      const auto traceOut = out / "trace";
      if (oldTrace) writeFile(traceOut, "old\n");
      std::vector<std::string> command =
          w.args(file.string(), w.generator ? (scratch / "long").string() : "-", traceOut.string());
      if (!launcher.empty()) command.insert(command.begin(), launcher);
      // The manifest's temporary file is made only at the end: the trace's
      // marks the run, once it holds bytes (the manifest's name is checked
      // before that).
      std::string prefix = (w.manifest ? traceOut : file).filename().string();
      prefix.insert(prefix.begin(), '.');
      prefix += '.';
      // The inspector writes while it reads, and waits for the trace's last line.
      const std::string input = w.generator ? "" : readFile(scratch / "t.trace");
      const std::size_t split = w.generator ? 0 : input.rfind('\n', input.size() - 2);
      bool paused = false;
      const auto r = runPausedOnceWriting(
          command, std::string_view(input).substr(0, split), std::string_view(input).substr(split),
          out, prefix, w.manifest, [&] { std::filesystem::create_directory(file); }, paused);
      ASSERT_TRUE(paused) << "the program ended before it could be stopped: " << r.err;
      EXPECT_EQ(r.status, w.failure()) << r.err;
      EXPECT_NE(r.err.find("cannot put the file in place at " + file.string() + ": Is a directory"),
                std::string::npos)
          << r.err;
      EXPECT_TRUE(std::filesystem::is_directory(file));
      EXPECT_TRUE(std::filesystem::is_empty(file));
      EXPECT_EQ(namesIn(out), oldTrace ? (std::set<std::string>{"new", "trace"})
                                       : std::set<std::string>{file.filename().string()});
      if (oldTrace) {
        EXPECT_EQ(readFile(traceOut), "old\n");
      }
    }
  }
}

// Every program's standard output, full or past a file-size limit: the
// failure is said, with the status that means it, and never taken for a run
// that worked nor killed without a word.
TEST(TraceFiles, StandardOutputWritersReportAFullDiskAndAFileSizeLimit) {
  ScratchDir scratch;
  writers(scratch.path());
  const std::string params = q(scratch / "p"), trace = q(scratch / "t.trace");
  const struct {
    std::string command;
    int failure;
  } cases[] = {
      {generator() + " 3 -p " + params, 1},
      {generator() + " --print-params -p " + params, 1},
      {generator() + " --help", 1},
      {inspector() + " check " + trace, 2},
      {inspector() + " stats " + trace, 2},
      {inspector() + " plot -o - " + trace, 2},
      {inspector() + " export --format jsonl " + trace, 2},
      {inspector() + " --version", 2},
  };
  // Standard output appends to a file already at the limit, so that any byte
  // written passes it while the messages still fit beside.
  const auto full = scratch / "at-limit";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const auto toFull = runCommand("exec " + c.command + " >/dev/full", scratch);
    EXPECT_EQ(toFull.status, c.failure) << toFull.err;
    EXPECT_NE(toFull.err.find("No space left on device"), std::string::npos) << toFull.err;

    writeFile(full, std::string(512, '.'));
    const auto limited = runCommand("ulimit -f 1; exec " + c.command + " >>" + q(full), scratch);
    EXPECT_EQ(limited.status, c.failure) << limited.err;
    EXPECT_NE(limited.err.find("File too large"), std::string::npos) << limited.err;
    EXPECT_EQ(readFile(full), std::string(512, '.'));
  }

  // The export waits in TMPDIR until the trace is found sound; a spool that
  // cannot be written is named as such.
  const auto spool = runCommand(
      "TMPDIR=" + q(scratch / "none") + " exec " + inspector() + " export --format csv " + trace,
      scratch);
  EXPECT_EQ(spool.status, 2);
  EXPECT_EQ(spool.out, "");
  EXPECT_NE(spool.err.find("cannot create the export's spool file in " +
                           (scratch / "none").string() + ": No such file or directory (TMPDIR"),
            std::string::npos)
      << spool.err;
  const testing::SmallDisk small(scratch / "disk", "64k");
  if (small.mounted()) {
    small.fill("filler");
    const auto fullSpool = runCommand(
        "TMPDIR=" + q(scratch / "disk") + " exec " + inspector() + " export --format csv " + trace,
        scratch);
    EXPECT_EQ(fullSpool.status, 2);
    EXPECT_EQ(fullSpool.out, "");
    EXPECT_NE(fullSpool.err.find("cannot write the export's spool file in " +
                                 (scratch / "disk").string() + ": No space left on device"),
              std::string::npos)
        << fullSpool.err;
    EXPECT_EQ(namesIn(scratch / "disk"), std::set<std::string>{"filler"});
  }
}

// An output that is the input it is made from would replace it: refused,
// whichever way the input is named.
TEST(TraceFiles, AnOutputThatIsItsOwnInputIsRefused) {
  ScratchDir scratch;
  writers(scratch.path());
  const std::string stream = readFile(scratch / "p"), trace = readFile(scratch / "t.trace");
  std::filesystem::create_symlink("p", scratch / "link");
  const std::string p = q(scratch / "p"), t = q(scratch / "t.trace");
  const struct {
    std::string command;
    const char* says;
  } cases[] = {
      {generator() + " -p " + p + " -o " + p, "is the parameter stream the run reads"},
      {generator() + " -o " + p + " < " + p, "is the parameter stream the run reads"},
      {generator() + " -p " + p + " -o " + q(scratch / "link"), "is the parameter stream"},
      {generator() + " --print-params -p " + p + " -o " + p, "is the parameter stream"},
      {generator() + " -p " + p + " --manifest " + p + " >/dev/null", "--manifest "},
      {inspector() + " plot -o " + q(scratch / "t.svg") + " " + q(scratch / "t.svg"),
       "is the trace being read"},
      {inspector() + " export --format csv -o " + t + " " + t, "is the trace being read"},
      {inspector() + " export --format csv -o " + t + " < " + t,
       "is the trace being read (<stdin>)"},
  };
  writeFile(scratch / "t.svg", trace);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const auto r = runCommand(c.command, scratch);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(readFile(scratch / "p"), stream);
    EXPECT_EQ(readFile(scratch / "t.trace"), trace);
    EXPECT_EQ(readFile(scratch / "t.svg"), trace);
  }
  // A copy is another file.
  writeFile(scratch / "copy", stream);
  EXPECT_EQ(runCommand(generator() + " -p " + p + " -o " + q(scratch / "copy"), scratch).status, 0);
}

// "--manifest -" is the record on standard output beside a trace in a file,
// and a manifest's temporary file appears only once the run has ended, so a
// reader that stops early (| head) leaves none behind.
TEST(TraceFiles, TheManifestOnStandardOutputAndAfterAnEarlyEnd) {
  ScratchDir scratch;
  writers(scratch.path());
  const std::string p = q(scratch / "p");
  const auto record =
      runCommand(generator() + " 3 -p " + p + " -o " + q(scratch / "t") + " --manifest -", scratch);
  ASSERT_EQ(record.status, 0) << record.err;
  const JsonValue m = parseJson(record.out);
  EXPECT_EQ(m["output"].text, (scratch / "t").string());
  EXPECT_EQ(m["bytes"].integer(),
            static_cast<long long>(std::filesystem::file_size(scratch / "t")));
  EXPECT_FALSE(std::filesystem::exists(scratch / "-"));

  for (const std::string output : {"", " -o -"}) {
    const auto refused = runCommand(generator() + " -p " + p + output + " --manifest -", scratch);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(
        refused.err.find("--manifest - writes the record to standard output, where the trace goes"),
        std::string::npos)
        << refused.err;
  }

  std::filesystem::create_directory(scratch / "m");
  // A trace far larger than any pipe, so that the reader goes away while the
  // run still writes, however the two are scheduled.
  const auto early = runCommand(generator() + " 3 -p " + p + " --max-trans 400000 --manifest " +
                                    q(scratch / "m" / "run.json") + " | head -c 10",
                                scratch);
  EXPECT_EQ(early.out, "// Print G");
  EXPECT_TRUE(std::filesystem::is_empty(scratch / "m"));
}

// A loop of links fails as "> FILE" fails instead of becoming a regular file,
// and names in messages show their control bytes escaped.
TEST(TraceFiles, LinkLoopsAndNamesWithControlBytes) {
  ScratchDir scratch;
  writers(scratch.path());
  const std::string p = q(scratch / "p");
  std::filesystem::create_symlink("b", scratch / "a");
  std::filesystem::create_symlink("a", scratch / "b");
  for (const std::string& command :
       {generator() + " -p " + p + " -o " + q(scratch / "a"),
        generator() + " -p " + p + " -o /dev/null --manifest " + q(scratch / "a"),
        inspector() + " export --format csv -o " + q(scratch / "a") + " " +
            q(scratch / "t.trace")}) {
    SCOPED_TRACE(command);
    const auto r = runCommand(command, scratch);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot write " + (scratch / "a").string() +
                         ": Too many levels of symbolic links"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(std::filesystem::is_symlink(scratch / "a"));
  }

  const std::string odd = (scratch / "\x1b]0;title\x07x").string();
  const std::string shown = (scratch / "\\x1b]0;title\\x07x").string();
  for (const std::string& command :
       {generator() + " -p " + q(odd), generator() + " -p " + p + " -o " + q(odd + "/t"),
        inspector() + " check " + q(odd),
        inspector() + " plot -o " + q(odd + "/t.svg") + " " + q(scratch / "t.trace")}) {
    SCOPED_TRACE(command);
    const auto r = runCommand(command, scratch);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(shown), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
  }
}

TEST(TraceFiles, ManifestStringsSurviveAnyBytes) {
  using namespace std::string_literals;
  const std::string texts[] = {
      "plain/path.trace",
      "quote \" and backslash \\",
      "tab\tnewline\ncr\rnul\0del\x7f"
      "bell\x01\x1f"s,
      "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
  };
  for (const std::string& text : texts) {
    const std::string json = jsonString(text);
    EXPECT_EQ(parseJson(json).text, text) << json;
  }
  // Not UTF-8: a lone continuation byte, a cut sequence, an overlong form, a
  // surrogate, a code point past U+10FFFF. Each byte becomes U+FFFD.
  const std::string fffd = "\xef\xbf\xbd";
  EXPECT_EQ(parseJson(jsonString("a\x80z")).text, "a" + fffd + "z");
  EXPECT_EQ(parseJson(jsonString("a\xe2\x82")).text, "a" + fffd + fffd);
  EXPECT_EQ(parseJson(jsonString("\xc0\xaf")).text, fffd + fffd);
  EXPECT_EQ(parseJson(jsonString("\xed\xa0\x80")).text, fffd + fffd + fffd);
  EXPECT_EQ(parseJson(jsonString("\xf4\x90\x80\x80")).text, fffd + fffd + fffd + fffd);
}

}  // namespace
}  // namespace grouptrace
