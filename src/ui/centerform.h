#pragma once
// Places a window in the middle of its screen's full area (task bars and
// docks included, as the screen size counts them).
class QWidget;

void CenterForm(QWidget* window);
