// A download's temporary file: created new beside the file it will replace
// (same directory, so the replacement is one atomic rename), and removed on
// every path unless it was committed. Until Commit the file it replaces is
// untouched, so a failed or stopped download never costs the older copy.
#pragma once

#include <string>

class PartFile {
public:
    // Creates an empty file ".<name>.<random>.part" beside target, with
    // O_EXCL (a name that exists, a symlink included, is never opened) and
    // mode 0600. Does not wait. Throws Exception "Cannot create file".
    explicit PartFile(const std::string& target);
    // Removes the file unless it was committed. Does not throw.
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // The temporary file's path.
    const std::string& Path() const { return FPath; }
    // The file that Commit replaces.
    const std::string& Target() const { return FTarget; }
    // Gives the file the permission bits of the file it replaces, or, where
    // there is none, the mode a newly created file gets (0666 less the
    // umask), and renames it onto the target. Does not wait. Throws
    // Exception "Cannot create file" (the target is then unchanged).
    void Commit();

private:
    std::string FTarget;
    std::string FPath;
    bool FCommitted = false;
};
