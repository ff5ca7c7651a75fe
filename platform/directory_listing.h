// The entries of one folder, read one at a time. The listing owns the open directory handle and
// closes it when it ends, so that every way out of the loop that reads it (a break, a return, an
// exception) gives the handle back.
#pragma once

#include <dirent.h>

#include <string>

class CDirectoryListing
{
public:
    // Opens `folder`; IsOpen tells whether that worked and OpenError gives the errno value when not.
    explicit CDirectoryListing(const std::string& folder);
    ~CDirectoryListing();
    CDirectoryListing(const CDirectoryListing&) = delete;
    CDirectoryListing& operator=(const CDirectoryListing&) = delete;

    bool IsOpen() const { return m_directory != nullptr; }
    int OpenError() const { return m_openError; }

    // The name of the next entry, "." and ".." included, in the order the file system keeps
    // them; null after the last one and for a folder that did not open. The text stays valid
    // until the next call.
    const char* NextName();

private:
    DIR* m_directory;
    int m_openError = 0;
};
