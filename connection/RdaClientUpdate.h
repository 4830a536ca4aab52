// Writing what a server sends to the client's machine (RdaClientFiles.h): the Qt
// driver's TRdaClientFiles, and the scripts that swap in a new program.
//
// Everything goes into the running program's folder F:
//
//   F/TempFile.exe   the new program, written whole (QSaveFile), its length checked
//                    against what arrived, given the old program's permissions
//   F/ReStart.sh     the restart script (below); it removes itself
//   F/<name>.OLD     the program before the update, kept once the new one is in place
//   F/patcher.exe    the patcher program, made runnable
//   F/<segment name> a file sent in segments, put in place when its last one came
//
// The restart script, run by /bin/sh (detached, no terminal) once the program has
// started it and before the program ends:
//
//   1. waits until the program's process has ended (at most a minute; then it gives
//      up and removes TempFile.exe and itself, leaving the program as it was);
//   2. checks that TempFile.exe still holds all the bytes that arrived;
//   3. moves the program file aside as <name>.OLD (an older .OLD goes first) and puts
//      TempFile.exe in its place; when that fails the old file is moved back;
//   4. starts the program again, from the folder it was started in, with the
//      arguments it was started with;
//   5. removes itself.
//
// Every path and argument in a script is quoted for the shell (single quotes, a
// quote inside written as '\''), so blanks, quotes and $ in them stay what they are.
// On Windows the scripts are batch files in the Windows command interpreter's form
// (RestartBatchLines, PatcherBatchLines), with names that hold a blank or one of
// its special characters in double quotes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "connection/RdaClientFiles.h"

namespace rda {

// The running program, as the scripts need it.
struct TRdaRunningProgram {
  std::string Path;                    // its file, absolute
  std::vector<std::string> Arguments;  // its command line, without the program
  std::string WorkingFolder;           // the folder it was started in
  int64_t Pid = 0;
};

// The names the system gives the update's files.
inline constexpr char kUpdateTempFile[] = "TempFile.exe";
inline constexpr char kPatcherFile[] = "patcher.exe";
#ifdef _WIN32
inline constexpr char kRestartScript[] = "ReStart.Bat";
#else
inline constexpr char kRestartScript[] = "ReStart.sh";
#endif

class TRdaProgramFiles final : public TRdaClientFiles {
 public:
  // `program` is asked each time it is needed, so that it may change (a connection's
  // SetProgramFile, the current folder).
  explicit TRdaProgramFiles(std::function<TRdaRunningProgram()> program);

  bool PatcherPresent() override;
  void SavePatcher(std::string_view bytes) override;
  void StartRestart(std::string_view program) override;
  std::vector<std::string> PreparePatch(std::string_view patch, const std::string& patchFile) override;
  void WriteScript(const std::vector<std::string>& lines, bool start) override;
  std::unique_ptr<TRdaFileSink> CreateSegmentFile(const std::string& localFileName) override;

 private:
  std::function<TRdaRunningProgram()> program_;
};

// ---- The scripts ---------------------------------------------------------------------

// `text` in single quotes for /bin/sh.
std::string ShellQuote(std::string_view text);
// The program and its arguments, each quoted, separated by blanks.
std::string ShellCommandLine(const TRdaRunningProgram& program);

// The restart script's lines (above). `size` is the new program's length in bytes.
std::vector<std::string> RestartScriptLines(const TRdaRunningProgram& program, int64_t size);
// The patch script's lines: the patcher on `patchFile` for the program, the program
// started again, the script removed.
std::vector<std::string> PatcherScriptLines(const TRdaRunningProgram& program,
                                            const std::string& patchFile);

// The same steps for the Windows command interpreter, as the Windows client writes
// them (names relative to the current folder there). `commandLine` is the program's
// whole command line; `folder` ends with a separator.
std::vector<std::string> RestartBatchLines(const std::string& programName,
                                           const std::string& commandLine);
std::vector<std::string> PatcherBatchLines(const std::string& folder, const std::string& patchFile,
                                           const std::string& programPath,
                                           const std::string& commandLine);

}  // namespace rda
