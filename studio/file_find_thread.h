// CFileFindThread: one search of Find in Files. It walks a folder tree, searches every file whose
// extension is in a list (every file when the list is empty) for a text without regard to case,
// and reports through a poster only:
// "{" first, one line "<path> (<line>): <rest of the line>" per line that holds the text, error and
// skip notes, the count, and "}" last. The results list owns the stop flag; the user-interface
// thread sets it and the search reads it after every byte, so a stop ends the search at once.
//
// Make it with std::make_shared, SetArguments, then Start; the thread ends by itself after the
// search.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/message_thread.h"

class CFileFindThread : public CMessageThread
{
public:
    // Queues one text for the results list; called on the search thread.
    using Poster = std::function<void(std::string text)>;
    // Hears how many files have been searched so far and which folder the walk is in; called on
    // the search thread at every folder and after every file.
    using Progress = std::function<void(int searched, const std::string& folder)>;

    // `types` is the typed extension list (".twp; .tws", "*.twp", "twp"), empty for every file;
    // `stop` (1 = stop) must outlive the thread.
    void SetArguments(std::string what, std::string_view types, std::string folder, const std::atomic<int>* stop,
                      Poster post);
    // Before Start; without one the search reports no progress.
    void SetProgress(Progress progress) { m_progress = std::move(progress); }
    // The lines found so far.
    int GetHitCount() const { return m_hits.load(); }

protected:
    // The whole search; false ends the thread afterwards.
    bool InitInstance() override;

private:
    void Walk(std::string folder);
    void SearchFile(const std::string& path);
    void Post(std::string text) const;
    void ReportProgress(const std::string& folder) const;
    bool Stopped() const { return m_stop != nullptr && m_stop->load(std::memory_order_relaxed) != 0; }

    std::string m_what;
    std::string m_whatLower;
    std::vector<std::string> m_extensions;
    std::string m_folder;
    const std::atomic<int>* m_stop = nullptr;
    Poster m_post;
    Progress m_progress;
    std::atomic<int> m_hits{0};
    int m_searched = 0;
};
