#include "platform/ObjectNameFilter.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace {

class ObjectNameFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Polish comes once before a widget is first shown; Show also catches
        // widgets renamed after that.
        const QEvent::Type type = event->type();
        if ((type == QEvent::Polish || type == QEvent::Show) && watched->isWidgetType()) {
            auto *widget = static_cast<QWidget *>(watched);
            if (widget->accessibleDescription().isEmpty() && !widget->objectName().isEmpty())
                widget->setAccessibleDescription(widget->objectName());
        }
        return false;
    }
};

} // namespace

namespace plat {

void InstallObjectNameFilter(QApplication &app)
{
    app.installEventFilter(new ObjectNameFilter(&app));
}

} // namespace plat
