// What the main window keeps up as it changes: the top panel laid out to its
// width (the File field widens, the Get button stays at the right edge, the
// filter controls between them when shown), the view held at the end of its
// text through a resize when it showed the end, and the window's size and
// position saved in the per-user settings when it closes.
#pragma once

#include <QObject>

class TForm1;

class WindowKeeper : public QObject {
    Q_OBJECT
public:
    // Watches form; owned by it. With rememberGeometry, restores the saved
    // size and position now and saves them when the window closes.
    WindowKeeper(TForm1* form, bool rememberGeometry);

    // Lays the top panel out for its width and the filter's visibility.
    void ArrangePanel();

    // The settings group and key of the saved geometry.
    static const char* const GeometryKey;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TForm1* Form;
    // The watched widgets, compared as plain pointers: events still come
    // while the window is being destroyed, when Form is no TForm1 any more.
    QObject* Window;
    QObject* Panel;
    QObject* View;
    bool Remember;
};
