// The window's own images: those of the friend tree, of the task list, and the frame's icon
// (also the tray's). Drawn here or taken from the style, so nothing is ever shown without one.
#pragma once

#include <QIcon>

// The friend tree's images: 0 friends root, 1 friend whose channels are up, 2 friend without,
// 3 briefcase, 4 local shares root, 5 folder, 6 open folder (a selected folder), 7 file.
QIcon ZylTreeImage(int index);
// The task list's images: 0 download, 1 upload, 2 stopped, 3 finished.
QIcon ZylTaskImage(int index);
QIcon ZylFrameIcon();
