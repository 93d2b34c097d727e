// The part of the actions' surroundings that is the platform, not the
// installer's session: the library, the network configuration, the INF
// store and the restart note. msi_entry.cpp adds the session; the host tests
// add a scripted one and run the actions on the simulated machine.
#pragma once

#include "action.h"

namespace ndisfilter::ca {

class PlatformHost : public ActionHost {
public:
    PlatformHost() = default;
    PlatformHost(const PlatformHost &) = delete;
    PlatformHost &operator=(const PlatformHost &) = delete;

    bool NoteRestart(DWORD &error) override;
    bool TakeRestartNote(DWORD &error) override;
    INdisFilterHelper2 *LoadLibraryHelper(const std::wstring &path, std::wstring &error) override;
    void UnloadLibrary() override;
    std::optional<bool> ComponentInstalled(std::wstring &why) override;
    tools::FailureReason Diagnose(tools::Operation operation, const WCHAR *infPath) override;
    bool CleanInfStore(std::vector<std::wstring> &lines) override;
    std::optional<tools::PreflightResult> InstallChecks() override;

protected:
    ~PlatformHost() { PlatformHost::UnloadLibrary(); }  // this class's own, by name
    // The installation's product code, which names its restart note; false
    // with the error when the session does not give it.
    virtual bool ProductCode(std::wstring &code, DWORD &error) = 0;
    // Whether the session removes the product (DetectPresent runs on an
    // install and on a removal).
    virtual bool Removing() = 0;

private:
    HMODULE m_module = nullptr;
};

}  // namespace ndisfilter::ca
