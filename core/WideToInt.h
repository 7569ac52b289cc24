#pragma once
// Text to integer the way the C runtime's _wtoi reads it: leading blanks, an
// optional sign, then digits up to the first other character. Text that does
// not start with a number yields 0; values beyond int's range are clamped.
#include <QString>

int WideToInt(const QString& text);
