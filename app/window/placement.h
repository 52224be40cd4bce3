// Where a window of the program opens so that it covers neither the
// operator's window nor another one already open beside it: the monitor and
// the self-test's dialog both open beside what is on the screen, and the
// operator's controls stay in view.
#ifndef APP_WINDOW_PLACEMENT_H
#define APP_WINDOW_PLACEMENT_H

#include <QRect>
#include <QSize>

class QWidget;

namespace app::window {

// The frame of a window of wanted size beside occupied within available: to
// its right when it fits there, else to its left, else below it; when it
// fits in none of these, shrunk into the roomiest room around occupied
// (above it too) that takes least. Never over occupied, unless occupied
// leaves no such room at all (a maximised window): then at least in
// available's bottom right corner, away from the controls, which keep the
// window's top left.
QRect besideRect(QRect occupied, QSize wanted, QSize least, QRect available);

// Moves window (and shrinks it where besideRect says so) beside occupied on
// main's screen; the window manager frames window only once it is shown, so
// its frame is taken to be like main's. least == window's size: never shrunk,
// and left where the window manager puts it when it fits nowhere beside.
void placeBeside(QWidget& window, const QWidget& main, QRect occupied, QSize least);

}  // namespace app::window

#endif  // APP_WINDOW_PLACEMENT_H
