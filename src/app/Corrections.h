// The RTK corrections of the view: the NTRIP client and the relay that writes
// its frames into the GPS port, started and stopped with the link. Lines for a
// crew go to the face (OnCorrections); the client asks the link for the fix.
#pragma once

#include <memory>
#include <string>

#include "app/ViewFace.h"
#include "corrections/NtripClient.h"
#include "corrections/RtcmRelay.h"

class CLocatorLink;

class CCorrections : public INtripOwner, public IRtcmPort {
public:
    CCorrections(IViewFace& face, CLocatorLink& link);
    ~CCorrections() override;
    CCorrections(const CCorrections&) = delete;
    CCorrections& operator=(const CCorrections&) = delete;

    // After the link's threads started; nothing when the setting is OFF.
    void Start(const NTRIP_OPTIONS& options);
    // Before the link's threads stop (and always before its Shutdown). Bounded.
    void Stop();
    NTRIP_STATUS Status() const { return m_client.Status(); }

    // INtripOwner (client thread)
    void OnNtripLine(const std::string& line) override;
    bool CurrentFix(double& lat, double& lon, double& height) const override;
    // IRtcmPort (relay thread)
    int WriteSome(const uint8_t* data, size_t size, int timeoutMs, size_t* put) override;

private:
    IViewFace& m_face;
    CLocatorLink& m_link;
    CRtcmRelay m_relay;
    CNtripClient m_client;
    bool m_bStarted = false;
};
