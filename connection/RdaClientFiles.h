// The files a data server may send a client, and what the connection needs of the
// platform to write them.
//
// A server can replace the running client program with a newer one (token 39 starts
// the update, token 38 brings the new program file, or a patch when PatchFile is
// set), deliver the patcher program (server information, code 15) and send files in
// segments (the coded parameter list miFileSegment). The protocol core decides what
// happens with each; it writes nothing itself. Whoever runs the core gives it a
// TRdaClientFiles that does the writing (the Qt driver's is TRdaProgramFiles,
// RdaClientUpdate.h), so that the core's tests and fuzz targets touch no disk.
//
// Every file the server sends lands in the running program's folder (or below it):
// the new program file under a temporary name until a script puts it in place once
// the program has ended, the patcher beside the program, a segmented file under the
// name it arrives with (checked by CheckSegmentName). A file is written completely
// or not at all: nothing half-written ever stands where a good file stood.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rda {

// A file that arrives in pieces. It is written under a temporary name beside its
// target; Finish puts it in place (replacing a file of that name). A sink destroyed
// before Finish removes what it wrote and leaves the target as it was.
class TRdaFileSink {
 public:
  virtual ~TRdaFileSink() = default;
  // Bytes written so far.
  virtual int64_t Size() const = 0;
  // Raise the platform's file error (EWriteError) when the bytes cannot be written.
  virtual void Append(std::string_view bytes) = 0;
  virtual void Finish() = 0;
};

class TRdaClientFiles {
 public:
  virtual ~TRdaClientFiles() = default;

  // ---- The patcher program ("patcher.exe" in the program's folder) ----
  virtual bool PatcherPresent() = 0;
  // Writes it, replacing one that is there; it is made runnable.
  virtual void SavePatcher(std::string_view bytes) = 0;

  // ---- A whole new program ----
  // Writes `program` beside the running program under a temporary name, checks that
  // all of it is on disk (its length against `program`'s), and starts the restart
  // script: it waits until this program has ended, moves the program file aside (the
  // old one is kept as <name>.OLD), puts the new file in its place, starts the
  // program again with the command line it was started with, and removes itself.
  // Returns once the script runs; the caller then ends the application. Raises the
  // platform's file error when a step fails: nothing has been swapped then.
  virtual void StartRestart(std::string_view program) = 0;

  // ---- A patch ----
  // Saves `patch` as `patchFile` (a relative name counts from the current folder)
  // and returns the lines of the script that runs the patcher on it, starts the
  // program again and removes the script.
  virtual std::vector<std::string> PreparePatch(std::string_view patch,
                                                const std::string& patchFile) = 0;
  // Writes the script's lines and, with `start`, starts it.
  virtual void WriteScript(const std::vector<std::string>& lines, bool start) = 0;

  // ---- Files in segments ----
  // A new file `localFileName`, relative to the program's folder (CheckSegmentName
  // has accepted it); missing folders on the way are created. Raises the platform's
  // file creation error (EFCreateError) when it cannot be created.
  virtual std::unique_ptr<TRdaFileSink> CreateSegmentFile(const std::string& localFileName) = 0;
};

// A segment's LocalFileName comes from the server: it must name a file inside the
// program's folder. Raises ERdaProtocolError for an empty name, an absolute one (a
// leading / or \, or a drive such as C:), and one with a ".." part (between / or
// \ separators).
void CheckSegmentName(const std::string& localFileName);

}  // namespace rda
