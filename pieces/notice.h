// The notice written beside a set for a recipient who does not have this
// tool: the pieces and their sizes, the commands that rebuild the file with
// what Windows, macOS and Linux already have, and the whole file's SHA-256
// with the commands that check it. French first, then English; plain text,
// UTF-8 with a byte order mark, CRLF line ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morcelix {

// Where the notice of the set named `base` stands: NAME.regrouper.txt.
std::string NoticePath(std::string_view base);

// `name` as one word for sh: in single quotes, a ' written '\''; "./" first
// when it starts with "-", which commands would take for an option.
std::string ShellQuoted(const std::string& name);

// `name` as one word for cmd: in double quotes (no Windows name holds one).
std::string CmdQuoted(const std::string& name);

// The cmd commands that rebuild `whole` from `pieces`, in order: the first
// copies the first pieces into it, each later one appends the next pieces to
// it; none longer than `longest` characters (cmd reads 8,191 at most).
std::vector<std::string> CmdJoinCommands(const std::vector<std::string>& pieces,
                                         const std::string& whole, std::size_t longest = 8000);

// The notice's text for the file named `whole` (a file name, no folder), cut
// into `pieces` (file names) of `sizes` bytes, whose SHA-256 is `sha256`;
// with `recoverySlices` > 0, how its PAR2 recovery files (whole.par2, ...)
// rebuild up to that many pieces.
std::string NoticeText(const std::string& whole, const std::vector<std::string>& pieces,
                       const std::vector<std::int64_t>& sizes, const std::string& sha256,
                       std::uint32_t recoverySlices);

// Raises ENameNotInNotice when the file name of `base` can not stand, quoted,
// in the notice's commands: a '"' ends cmd's quotes (and no Windows name holds
// one), a line end or another control character ends or breaks a command
// line, and bytes that are not UTF-8 can not be typed from a UTF-8 text. A
// split checks this before it writes anything.
void RequireNameInNotice(const std::string& base);

// Writes the notice of the set named `base` (a path: its file name names the
// pieces), of `pieceSizes` bytes piece after piece, with `recoverySlices`
// recovery slices beside it, whole and on the disk. Raises ENameNotInNotice
// as RequireNameInNotice does.
void WriteNotice(const std::string& base, const std::vector<std::int64_t>& pieceSizes,
                 const std::string& sha256, std::uint32_t recoverySlices);

}  // namespace morcelix
