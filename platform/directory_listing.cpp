#include "platform/directory_listing.h"

#include <cerrno>

CDirectoryListing::CDirectoryListing(const std::string& folder) : m_directory(opendir(folder.c_str()))
{
    if (m_directory == nullptr)
        m_openError = errno;
}

CDirectoryListing::~CDirectoryListing()
{
    if (m_directory != nullptr)
        closedir(m_directory);
}

const char* CDirectoryListing::NextName()
{
    if (m_directory == nullptr)
        return nullptr;
    const dirent* entry = readdir(m_directory);
    return entry != nullptr ? entry->d_name : nullptr;
}
