#include "app/Corrections.h"

#include "link/LocatorLink.h"

CCorrections::CCorrections(IViewFace& face, CLocatorLink& link)
    : m_face(face), m_link(link), m_relay(*this), m_client(*this, m_relay, &link.GgaTap())
{
}

CCorrections::~CCorrections() { Stop(); }

void CCorrections::Start(const NTRIP_OPTIONS& options)
{
    if (m_bStarted)
        return;
    m_bStarted = true;
    m_relay.Start();
    m_client.Start(options);
}

void CCorrections::Stop()
{
    if (!m_bStarted)
        return;
    m_client.Stop();
    m_relay.Stop();
    m_bStarted = false;
}

void CCorrections::OnNtripLine(const std::string& line)
{
    const NtripState state = m_client.Status().state;
    m_face.OnCorrections(line, state == NtripState::Streaming);
}

bool CCorrections::CurrentFix(double& lat, double& lon, double& height) const
{
    GPS_FIX fix;
    if (!m_link.LatestGpsFix(fix) || fix.nGpsFix == 0)
        return false;
    lat = fix.nLatDir == 2 ? -fix.dfLatAng : fix.dfLatAng;
    lon = fix.nLongDir == 3 ? -fix.dfLongAng : fix.dfLongAng;
    // GGA gives the height above the geoid and the geoid above the ellipsoid.
    height = fix.dfAltVal + fix.dfGeoidVal;
    return true;
}

int CCorrections::WriteSome(const uint8_t* data, size_t size, int timeoutMs, size_t* put)
{
    return m_link.WriteToGpsPort(data, size, timeoutMs, put);
}
