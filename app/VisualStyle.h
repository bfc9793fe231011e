#pragma once
// The program's visual style "Carbon": a dark style sheet carried among the resources.

#include <QString>

class QApplication;

// Applies the style to the whole application; the text of the error when it cannot be loaded
// (the default look is kept then), empty on success.
QString ApplyVisualStyle(QApplication& Application);
