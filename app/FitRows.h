#pragma once
// The mark of a clip row whose video differs from the first clip's: the join
// re-encodes it to match instead of copying it. The row shows it (italic,
// coloured, its tooltip says so) and keeps it when rows are moved.
#include <QColor>
#include <QFont>
#include <QTreeWidgetItem>

#include "controls/CListFiles.h"
#include "core/LanguageText.h"

namespace fitrows {

constexpr int kFitRole = Qt::UserRole + 16;

inline void Mark(CListFiles* list, int row) {
  QTreeWidgetItem* item = list->topLevelItem(row);
  if (!item) return;
  item->setData(1, kFitRole, true);
  QFont font = item->font(1);
  font.setItalic(true);
  item->setFont(1, font);
  item->setForeground(1, QColor(0xC0, 0x60, 0x00));
  item->setToolTip(1, item->text(1) + QStringLiteral("\n") +
                          LanguageText(1201, QStringLiteral("Re-encoded to match the first clip")));
}

inline bool Marked(const CListFiles* list, int row) {
  const QTreeWidgetItem* item = list->topLevelItem(row);
  return item && item->data(1, kFitRole).toBool();
}

}  // namespace fitrows
