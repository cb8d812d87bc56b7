// A picture control of the form (a link picture or lamp). It remembers which
// bitmap it shows; the face draws it. SetBitmap is called from the link threads
// and from the user-interface thread, so the id is swapped atomically and the
// face is told without waiting for the user-interface thread.
#pragma once

#include <atomic>

class IViewFace;

class CStaticBitmap {
public:
    explicit CStaticBitmap(int controlId) : m_controlId(controlId) {}

    void SetFace(IViewFace* face) { m_face.store(face); }
    // Shows bitmap resource bitmapId. Any thread.
    void SetBitmap(int bitmapId);
    int GetBitmap() const { return m_bitmapId.load(); }
    int ControlId() const { return m_controlId; }

private:
    const int m_controlId;
    std::atomic<int> m_bitmapId{0};
    std::atomic<IViewFace*> m_face{nullptr};
};
