#pragma once
// Fonts (in text documents, in SVG drawings) need a GUI application; the
// offscreen platform needs no display. Made once per fuzzing process.
#include <QGuiApplication>

inline void EnsureOffscreenApp()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QGuiApplication *app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
}
