#include "app/StaticBitmap.h"

#include "app/ViewFace.h"

void CStaticBitmap::SetBitmap(int bitmapId)
{
    m_bitmapId.store(bitmapId);
    // The face only posts the change to its own thread: a link thread that is
    // ending never waits here for the user-interface thread.
    if (IViewFace* face = m_face.load())
        face->OnBitmapChanged(m_controlId, bitmapId);
}
