#include "app/window/placement.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <functional>

namespace app::window {

QRect besideRect(QRect occupied, QSize wanted, QSize least, QRect available)
{
    wanted = wanted.boundedTo(available.size());
    const auto within = [](int value, int low, int high) { return std::max(low, std::min(value, high)); };
    const auto besideAt = [&](int left, QSize size) {
        return QRect(QPoint(left, within(occupied.top(), available.top(), available.bottom() + 1 - size.height())),
                     size);
    };
    const auto acrossAt = [&](int top, QSize size) {
        return QRect(QPoint(within(occupied.left(), available.left(), available.right() + 1 - size.width()), top),
                     size);
    };
    struct Room {
        QSize size;
        std::function<QRect(QSize)> place;
    };
    const Room right{QSize(available.right() - occupied.right(), available.height()),
                     [&](QSize size) { return besideAt(occupied.right() + 1, size); }};
    const Room left{QSize(occupied.left() - available.left(), available.height()),
                    [&](QSize size) { return besideAt(occupied.left() - size.width(), size); }};
    const Room below{QSize(available.width(), available.bottom() - occupied.bottom()),
                     [&](QSize size) { return acrossAt(occupied.bottom() + 1, size); }};
    const Room above{QSize(available.width(), occupied.top() - available.top()),
                     [&](QSize size) { return acrossAt(occupied.top() - size.height(), size); }};

    for (const Room* room : {&right, &left, &below}) {
        if (room->size.width() >= wanted.width() && room->size.height() >= wanted.height())
            return room->place(wanted);
    }
    const Room* roomiest = nullptr;
    QSize roomiestSize;
    for (const Room* room : {&right, &left, &below, &above}) {
        const QSize size = wanted.boundedTo(room->size);
        const bool usable = size.width() >= least.width() && size.height() >= least.height();
        if (usable && (!roomiest || size.width() * size.height() > roomiestSize.width() * roomiestSize.height())) {
            roomiest = room;
            roomiestSize = size;
        }
    }
    if (roomiest)
        return roomiest->place(roomiestSize);
    least = least.boundedTo(available.size());
    return QRect(QPoint(available.right() + 1 - least.width(), available.bottom() + 1 - least.height()), least);
}

void placeBeside(QWidget& window, const QWidget& main, QRect occupied, QSize least)
{
    const QScreen* screen = main.screen();
    if (!screen)
        return;
    const QRect frame = main.frameGeometry();
    const QRect inner = main.geometry();
    const QMargins decoration(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                              frame.bottom() - inner.bottom());
    const QSize size = window.testAttribute(Qt::WA_Resized) ? window.size() : window.sizeHint();
    const QRect beside = besideRect(occupied, size.grownBy(decoration), least.grownBy(decoration),
                                    screen->availableGeometry());
    if (beside.intersects(occupied))
        return;  // no room beside: the window manager's place
    window.resize(beside.size().shrunkBy(decoration));
    window.move(beside.topLeft());  // a window's position is its frame's
}

}  // namespace app::window
