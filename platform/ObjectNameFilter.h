#pragma once
// Makes every widget findable by its objectName through the accessibility
// interface, so assistive tools and outside tests can look any widget up by
// the name its window gives it.
class QApplication;

namespace plat {

// Installs one application-wide event filter that copies a widget's objectName
// into its accessibleDescription (when that is empty) as the widget is
// polished or shown. accessibleName is left alone: it carries the visible
// text that labels, buttons and status bars are read by.
void InstallObjectNameFilter(QApplication &app);

} // namespace plat
