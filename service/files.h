// The files of dmregd: its folders, which only it may use, and what it keeps in them.
//
// The library gives its socket and its first status file modes that let anyone in, so only the
// folders keep others out: a folder the service did not make is used only when it is already the
// service's alone, and is never changed. What dmregd writes replaces the old file whole and
// durably (a new file beside it, written, synced, renamed, the folder synced), and what it reads
// of its own is read without following a link or waiting on a FIFO.
#ifndef SERVICE_FILES_H
#define SERVICE_FILES_H

#include <string>

namespace service {

std::string folderOf(const std::string& path);

// Makes the folder (0700) when it is missing. "" when the folder may be used: a folder (or a link
// to one, as systemd makes /var/lib/<name>) owned by this user, closed to group and others, not
// sticky; otherwise what is wrong and how to mend it, the folder named as role ("the socket's
// folder"), and remedy said for a folder shared with every user. Never changes an existing folder.
std::string ownFolder(const std::string& folder, const std::string& role, const std::string& remedy);

// Whether a file the service only reads (the maker's tree) is safe to trust: its folder and the
// file are writable by no one but their owner, who is this user or root. "" when so.
std::string trustedToRead(const std::string& path);

enum class Read { Ok, Missing, Failed };
// The whole of a regular file, at most limit bytes (more is a failure); no link is followed
// unless followLink (for a file of the maker's), and a FIFO never blocks. error says why on Failed.
Read readFile(const std::string& path, size_t limit, std::string& content, std::string& error, bool followLink = false);

// Replaces path with content: a new file beside it (path + ".new", made afresh, no link
// followed), written, synced, renamed over path, and the folder synced. False, with the reason,
// when any step failed; the old file is then as it was.
bool writeDurably(const std::string& path, const std::string& content, std::string& error);

// Removes a file the service writes (its new file included) without following a link; the
// folder is synced. False with the reason when a file stays.
bool removeDurably(const std::string& path, std::string& error);

// The new files that writes cut short by a crash left in folder: path + ".new" for each of the
// service's and the library's files, the tree library's ".dmtree.*". Answers how many went.
int removeLeftovers(const std::string& folder);

// Text from outside (a modem, the air, a file) as one line of a log can hold it: control
// characters but the tab as \xNN, so that nothing it holds starts a line of its own.
std::string escaped(const std::string& text);

}  // namespace service

#endif
