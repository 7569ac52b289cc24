// Adding and removing clips.
#include "app/MainDialog.h"

void MainDialog::OnAddFile() {}

void MainDialog::OnRemove() {}

int MainDialog::AddClip(const QString&) { return 1; }
