#pragma once
// Shows ShowMessageBox's messages as real message boxes.
void InstallGuiMessageBox();
