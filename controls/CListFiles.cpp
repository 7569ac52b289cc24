#include "controls/CListFiles.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QUrl>

#include <thread>

#include "core/WindowMessages.h"
#include "controls/CHeaderLst.h"
#include "controls/DropFiles.h"

namespace {

constexpr int kDatumRole = Qt::UserRole;
constexpr int kImageRole = Qt::UserRole + 1;

// Column 0 shows the row's image from the list's thumbnails and no text.
class ThumbnailDelegate : public QStyledItemDelegate {
 public:
  explicit ThumbnailDelegate(CListFiles* list) : QStyledItemDelegate(list), list_(list) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    if (index.column() != 0) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    opt.icon = QIcon();
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    const QImage image = list_->GetRowImage(index.row());
    if (image.isNull()) return;
    const int y = option.rect.top() + (option.rect.height() - image.height()) / 2;
    painter->drawImage(QPoint(option.rect.left(), y), image);
  }

 private:
  CListFiles* list_;
};

// Restores the cursor on every way out of a drop.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

CListFiles::CListFiles(QWidget* parent) : QTreeWidget(parent), header_(new CHeaderLst(this)) {
  setHeader(header_);
  header_->setStretchLastSection(false);
  header_->setSectionResizeMode(QHeaderView::Interactive);
  setItemDelegate(new ThumbnailDelegate(this));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setRootIsDecorated(false);
  setIndentation(0);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setDragDropMode(QAbstractItemView::NoDragDrop);
  setIconSize(QSize(kThumbWidth, kThumbHeight));
  setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  setTextElideMode(Qt::ElideRight);
  setColumnCount(2);
  DragAcceptFiles(true);
}

CListFiles::~CListFiles() { EndDragImage(); }

// ---------------------------------------------------------------- rows

int CListFiles::AddClipRow(const QString& text, const QImage& bitmap) {
  const int index = GetItemCount();
  int imageIndex = -1;
  if (!bitmap.isNull()) {
    // The list keeps its own copy at the image list's size; the caller keeps
    // its picture.
    QImage copy = bitmap.size() == QSize(kThumbWidth, kThumbHeight)
                      ? bitmap
                      : bitmap.scaled(kThumbWidth, kThumbHeight);
    QPixmap pixmap = QPixmap::fromImage(copy);
    if (!pixmap.isNull()) {
      thumbnails.append(pixmap);
      imageIndex = static_cast<int>(thumbnails.size()) - 1;
    }
  }
  auto* item = new QTreeWidgetItem;
  item->setData(0, kImageRole, imageIndex);
  item->setData(0, kDatumRole, 0);
  item->setSizeHint(0, QSize(kThumbWidth, GetRowHeight()));
  item->setText(1, text);
  item->setToolTip(1, text);  // the whole path when the column cuts it
  insertTopLevelItem(index, item);

  EnsureVisible(index);
  SelectRow(index);
  viewport()->repaint();

  if (index >= GetCountPerPage() && !narrowed) {
    FitFileColumn();
    narrowed = true;
  }
  return index;
}

int CListFiles::RemoveSelectedRow(int& datum) {
  datum = 0;
  const int row = GetSelectedRow();
  if (row < 0) return -1;
  QTreeWidgetItem* item = takeTopLevelItem(row);
  const int image = item->data(0, kImageRole).toInt();
  datum = item->data(0, kDatumRole).toInt();
  delete item;
  if (image >= 0 && image < thumbnails.size()) {
    thumbnails.removeAt(image);
    // Later rows keep pointing at their own pictures.
    for (int i = 0; i < GetItemCount(); ++i) {
      QTreeWidgetItem* other = topLevelItem(i);
      const int otherImage = other->data(0, kImageRole).toInt();
      if (otherImage > image) other->setData(0, kImageRole, otherImage - 1);
    }
  }
  const int count = GetItemCount();
  int n = row;
  if (n > count - 1) n = count - 1;
  if (count == 0) n = 0;
  EnsureVisible(n);
  SelectRow(n);
  if (GetCountPerPage() >= count && narrowed) {
    FitFileColumn();
    narrowed = false;
  }
  return n;
}

void CListFiles::MoveRow(int from, int to) {
  if (from < 0 || from >= GetItemCount()) return;
  // The rows in view stay in view: taking the row out shrinks the scroll
  // range for a moment, and the view must not keep the shift that leaves.
  const int scrolledTo = verticalScrollBar()->value();
  QTreeWidgetItem* item = takeTopLevelItem(from);
  // Counted after the removal; past the end appends. A negative index would
  // lose the row, so it lands first instead.
  const int at = std::clamp(to, 0, GetItemCount());
  insertTopLevelItem(at, item);
  executeDelayedItemsLayout();
  verticalScrollBar()->setValue(std::min(scrolledTo, verticalScrollBar()->maximum()));
  EnsureVisible(at);
  SelectRow(at);
}

void CListFiles::SelectRow(int row) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (!item) return;
  setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void CListFiles::FitFileColumn() {
  SetColumnWidth(1, std::max(GetClientWidth(), 400) - kThumbWidth);
}

void CListFiles::MakeHeaderOwnerDrawn() { header_->MakeOwnerDrawn(); }

// ---------------------------------------------------------------- list view access

int CListFiles::GetItemCount() const { return topLevelItemCount(); }

QString CListFiles::GetItemText(int row, int subItem) const {
  QTreeWidgetItem* item = topLevelItem(row);
  return item ? item->text(subItem) : QString();
}

int CListFiles::GetItemData(int row) const {
  QTreeWidgetItem* item = topLevelItem(row);
  return item ? item->data(0, kDatumRole).toInt() : 0;
}

bool CListFiles::SetItemData(int row, int datum) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (!item) return false;
  item->setData(0, kDatumRole, datum);
  return true;
}

int CListFiles::GetSelectedRow() const {
  for (int i = 0; i < GetItemCount(); ++i)
    if (topLevelItem(i)->isSelected()) return i;
  return -1;
}

int CListFiles::GetImageIndex(int row) const {
  QTreeWidgetItem* item = topLevelItem(row);
  return item ? item->data(0, kImageRole).toInt() : -1;
}

QImage CListFiles::GetRowImage(int row) const {
  const int image = GetImageIndex(row);
  if (image < 0 || image >= thumbnails.size()) return QImage();
  return thumbnails[image].toImage();
}

void CListFiles::SetBkColor(const QColor& colour) {
  QPalette p = palette();
  p.setColor(QPalette::Base, colour);
  setPalette(p);
}

void CListFiles::SetTextBkColor(const QColor& colour) {
  // Text is drawn over the row's own background.
  QPalette p = palette();
  p.setColor(QPalette::AlternateBase, colour);
  setPalette(p);
}

void CListFiles::SetTextColor(const QColor& colour) {
  QPalette p = palette();
  p.setColor(QPalette::Text, colour);
  setPalette(p);
}

void CListFiles::SetExtendedStyle(unsigned styles) { extendedStyle_ = styles; }

void CListFiles::InsertColumn(int column, const QString& title, int format, int width) {
  if (column >= columnCount()) setColumnCount(column + 1);
  QTreeWidgetItem* head = headerItem();
  head->setText(column, title);
  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
  if (format == LVCFMT_CENTER)
    alignment = Qt::AlignHCenter | Qt::AlignVCenter;
  else if (format == LVCFMT_RIGHT)
    alignment = Qt::AlignRight | Qt::AlignVCenter;
  head->setTextAlignment(column, alignment);
  SetColumnWidth(column, width);
}

void CListFiles::SetColumnText(int column, const QString& title) {
  headerItem()->setText(column, title);
  header_->viewport()->update();
}

void CListFiles::SetColumnWidth(int column, int width) { header_->resizeSection(column, width); }

int CListFiles::GetColumnWidth(int column) const { return header_->sectionSize(column); }

int CListFiles::GetRowHeight() const { return kThumbHeight + kRowSpacing; }

int CListFiles::GetClientWidth() const {
  int width = contentsRect().width();
  // The rows' area loses the vertical scroll bar's width once rows overflow.
  if (verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff && GetItemCount() > GetCountPerPage())
    width -= style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, verticalScrollBar());
  return width;
}

int CListFiles::GetCountPerPage() const {
  int height = contentsRect().height();
  if (!header_->isHidden()) height -= header_->sizeHint().height();
  if (horizontalScrollBar()->isVisible()) height -= horizontalScrollBar()->height();
  return std::max(0, height / GetRowHeight());
}

int CListFiles::GetTopIndex() const {
  const QModelIndex index = indexAt(QPoint(1, 1));
  return index.isValid() ? index.row() : 0;
}

void CListFiles::EnsureVisible(int row) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item) scrollToItem(item, QAbstractItemView::EnsureVisible);
}

QRect CListFiles::GetItemRect(int row) const {
  QTreeWidgetItem* item = topLevelItem(row);
  if (!item) return QRect();
  return visualItemRect(item).translated(viewport()->pos());
}

void CListFiles::DragAcceptFiles(bool accept) {
  acceptFiles_ = accept;
  setAcceptDrops(accept);
  viewport()->setAcceptDrops(accept);
}

// ---------------------------------------------------------------- mouse

QPoint CListFiles::ToClient(QPointF viewportPoint) const {
  return viewportPoint.toPoint() + viewport()->pos();
}

int CListFiles::RowAtClient(QPoint clientPoint) const {
  const QPoint inViewport = clientPoint - viewport()->pos();
  if (!viewport()->rect().contains(inViewport)) return -1;
  const QModelIndex index = indexAt(inViewport);
  return index.isValid() ? index.row() : -1;
}

void CListFiles::mousePressEvent(QMouseEvent* event) {
  const QPoint point = ToClient(event->position());
  const bool filtered = event->button() == Qt::LeftButton || event->button() == Qt::RightButton;
  if (filtered && RowAtClient(point) < 0) {
    // A click on empty space keeps the selection as it is.
    event->accept();
    return;
  }
  if (event->button() == Qt::LeftButton) {
    pressRow_ = RowAtClient(point);
    pressPoint_ = point;
    beginDragSent_ = false;
  }
  QTreeWidget::mousePressEvent(event);
}

void CListFiles::mouseDoubleClickEvent(QMouseEvent* event) {
  const bool filtered = event->button() == Qt::LeftButton || event->button() == Qt::RightButton;
  if (filtered && RowAtClient(ToClient(event->position())) < 0) {
    event->accept();
    return;
  }
  QTreeWidget::mouseDoubleClickEvent(event);
}

void CListFiles::BeginRowDrag(int index, QPoint point) {
  if (!dragEnabled) return;
  EndDragImage();
  dragging = true;
  dragFrom = dragTo = index;
  const QRect rowRect = GetItemRect(index);
  hotspot = point - rowRect.topLeft();
  if (rowRect.isValid()) {
    dragImage = new QLabel(this);
    dragImage->setAttribute(Qt::WA_TransparentForMouseEvents);
    // A faded copy of the row follows the pointer.
    const QPixmap row = viewport()->grab(rowRect.translated(-viewport()->pos()));
    QPixmap faded(row.size());
    faded.fill(Qt::transparent);
    {
      QPainter painter(&faded);
      painter.setOpacity(0.6);
      painter.drawPixmap(0, 0, row);
    }
    dragImage->setPixmap(faded);
    dragImage->resize(rowRect.size());
    dragImage->move(point - hotspot);
    dragImage->show();
    dragImage->raise();
  }
  // The button that started the drag is still down, so Qt already routes
  // every move and the release to the viewport: that is the capture.
}

void CListFiles::mouseMoveEvent(QMouseEvent* event) {
  const QPoint point = ToClient(event->position());
  if (dragging) {
    const int row = RowAtClient(point);
    if (row >= 0) {
      dragTo = row;
    } else if (point.y() > viewport()->geometry().bottom()) {
      dragTo = GetTopIndex() + GetCountPerPage();
    } else if (point.y() < 0) {
      if (GetTopIndex() - 1 != -1) dragTo = GetTopIndex() - 1;
    }
    if (dragImage) dragImage->move(point - hotspot);
    // Qt's view would select the rows passed over; the list view does not.
    event->accept();
    return;
  }
  if ((event->buttons() & Qt::LeftButton) && pressRow_ >= 0) {
    if (!beginDragSent_ &&
        (point - pressPoint_).manhattanLength() >= QApplication::startDragDistance()) {
      beginDragSent_ = true;
      emit BeginDrag(pressRow_, pressPoint_);
    }
    if (beginDragSent_) {
      event->accept();
      return;
    }
  }
  QTreeWidget::mouseMoveEvent(event);
}

void CListFiles::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    pressRow_ = -1;
    beginDragSent_ = false;
    if (dragging) {
      dragging = false;
      EndDragImage();
      if (dragFrom != dragTo && dragTo != -1) MoveRow(dragFrom, dragTo);
    }
  }
  QTreeWidget::mouseReleaseEvent(event);
}

void CListFiles::EndDragImage() {
  delete dragImage;
  dragImage = nullptr;
}

void CListFiles::SetDragEnabled(bool enable) { dragEnabled = enable; }

// ---------------------------------------------------------------- drops

namespace {
QStringList LocalPaths(const QMimeData* data) {
  QStringList paths;
  if (!data) return paths;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) paths.append(url.toLocalFile());
  return paths;
}
// The list only reads the files: a drop is a copy, never a move after which
// the file manager would delete the clips.
void AcceptAsCopy(QDropEvent* event) {
  if (event->possibleActions() & Qt::CopyAction) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->acceptProposedAction();
  }
}
}  // namespace

void CListFiles::dragEnterEvent(QDragEnterEvent* event) {
  if (acceptFiles_ && !LocalPaths(event->mimeData()).isEmpty())
    AcceptAsCopy(event);
  else
    event->ignore();
}

void CListFiles::dragMoveEvent(QDragMoveEvent* event) {
  if (acceptFiles_ && !LocalPaths(event->mimeData()).isEmpty())
    AcceptAsCopy(event);
  else
    event->ignore();
}

void CListFiles::dragLeaveEvent(QDragLeaveEvent* event) { event->accept(); }

void CListFiles::dropEvent(QDropEvent* event) {
  const QStringList names = LocalPaths(event->mimeData());
  if (!acceptFiles_ || names.isEmpty()) {
    event->ignore();
    return;
  }
  AcceptAsCopy(event);
  // The names are handled once the drag itself has finished, as the shell
  // hands them over only after the drop: the file manager that started the
  // drag is not kept waiting through the adds and their messages.
  QMetaObject::invokeMethod(
      this, [this, names] { if (acceptFiles_) OnDropFiles(names); }, Qt::QueuedConnection);
}

MessageTarget* CListFiles::ParentTarget() const {
  if (parentTarget_) return parentTarget_;
  for (QWidget* w = parentWidget(); w; w = w->parentWidget())
    if (auto* target = dynamic_cast<MessageTarget*>(w)) return target;
  return nullptr;
}

void CListFiles::OnDropFiles(const QStringList& names) {
  WaitCursor wait;
  MessageTarget* parent = ParentTarget();
  if (parent) SendMessage(parent, wm::MSG_DROP_STATE, 0, 0);
  if (!names.isEmpty()) {
    QWidget* active = QApplication::activeWindow();
    if (!(active && (active == this || active->isAncestorOf(this)))) {
      window()->raise();
      window()->activateWindow();
    }
  }
  for (const QString& name : names) {
    QString path = name;
    const QString target = ResolveShortcut(path);
    if (!target.isEmpty()) path = target;
    if (IsAcceptedClipFile(path) && parent) {
      const LRESULT more =
          SendMessage(parent, wm::MSG_ADD_DROPPED_FILE, reinterpret_cast<WPARAM>(&path), 0);
      if (more == 0) break;
    }
    std::this_thread::yield();
  }
  if (parent) SendMessage(parent, wm::MSG_DROP_STATE, 1, 0);
}
