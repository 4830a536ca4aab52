// Replacing a file's content so that a failure never leaves a half-written
// file in place of a good one.
//
// SaveFileAtomically writes the bytes to a new temporary file in the same
// folder ("<name>.<pid>-<n>.tmp", created exclusively), flushes it to the
// disk (fsync), gives it the permissions of the file it replaces (a new file
// gets 0666 less the umask), renames it over the file and flushes the
// folder. A symbolic link is followed: the file it points to is replaced.
// On any failure the temporary file is removed, the old file is untouched
// and the error is raised:
//   EFCreateError "Cannot create file "<name>". <reason>"  the temporary file
//                 cannot be created, or the rename fails
//   EWriteError   "Stream write error"                     writing or flushing fails
// where <reason> is the operating system's text (strerror).
#pragma once

#include <string>
#include <string_view>

namespace rda {

void SaveFileAtomically(const std::string& fileName, std::string_view bytes);

}  // namespace rda
