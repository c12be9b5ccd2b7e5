#include <filterutilities/gdiplus.h>

GDIPlus::GDIPlus() {
    const Gdiplus::GdiplusStartupInput input(nullptr, FALSE, FALSE);
    m_startStatus = GdiplusStartup(&m_token, &input, nullptr);
    if (m_startStatus != Gdiplus::Ok) {
        m_token = 0;
    }
}

GDIPlus::~GDIPlus() {
    // A start that failed handed out no token, so there is nothing to give back.
    if (m_token != 0) {
        GdiplusShutdown(m_token);
    }
    m_token = 0;
    m_startStatus = Gdiplus::GdiplusNotInitialized;
}
