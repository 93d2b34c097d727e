// What a command reports while it works, the moment it happens: the --log
// trace (views/log_trace.h) writes each event as it comes, so that a run that
// hangs shows how far it got. Events carry facts; the trace words them.
#pragma once

#include <string>

#include "records.h"

namespace ndisfilterctl {

class Events {
public:
    virtual void InfGiven(const std::wstring &shown) = 0;
    virtual void LibraryFound(const LibraryFacts &library) = 0;
    virtual void NetCfgUnanswered(const diag::NetCfgQuery &query) = 0;
    virtual void Error(const std::wstring &error) = 0;
    virtual void ReasonFound(const Reason &reason) = 0;
    // Uninstall: the component is not there, so the library is not called.
    virtual void LibraryNotCalled() = 0;
    virtual void Calling(const Operation &operation) = 0;
    virtual void Returned(const Operation &operation, const Outcome &outcome) = 0;
    virtual void CopyCleaned(const store::CleanupResult &result) = 0;

protected:
    Events() = default;
    Events(const Events &) = default;
    Events(Events &&) = default;
    Events &operator=(const Events &) = default;
    Events &operator=(Events &&) = default;
    ~Events() = default;  // never deleted through this interface
};

}  // namespace ndisfilterctl
