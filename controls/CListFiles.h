#pragma once
// The clip list: one row per clip in join order, a 256 x 96 thumbnail in
// column 0 and the clip's full path in column 1. Rows are reordered by
// dragging; files dropped from a file manager are handed one by one to the
// parent window (MSG_ADD_DROPPED_FILE), which adds the rows itself.
#include <QColor>
#include <QImage>
#include <QList>
#include <QPixmap>
#include <QPoint>
#include <QStringList>
#include <QTreeWidget>

class CHeaderLst;
class MessageTarget;
class QLabel;

// Formats of a column, as the list view knows them.
constexpr int LVCFMT_LEFT = 0;
constexpr int LVCFMT_RIGHT = 1;
constexpr int LVCFMT_CENTER = 2;

// Extended styles the owner asks for; the Qt view honours full-row selection
// (always on) and single-row rows, the rest have no counterpart.
constexpr unsigned LVS_EX_FULLROWSELECT = 0x00000020;
constexpr unsigned LVS_EX_INFOTIP = 0x00000400;
constexpr unsigned LVS_EX_FLATSB = 0x00000100;
constexpr unsigned LVS_EX_SINGLEROW = 0x00040000;

class CListFiles : public QTreeWidget {
  Q_OBJECT
 public:
  static constexpr int kThumbWidth = 256;
  static constexpr int kThumbHeight = 96;
  static constexpr int kRowSpacing = 4;  // the view's own spacing around the image

  explicit CListFiles(QWidget* parent = nullptr);
  ~CListFiles() override;

  // --- Operations of the clip list ---
  // Appends a row with the picture as its image and text as column 1; selects
  // it and makes it visible. Returns the new row's index.
  int AddClipRow(const QString& text, const QImage& bitmap);
  // Removes the selected row; datum receives its item datum (0 when none).
  // Returns the row selected afterwards, or -1 when nothing was selected.
  int RemoveSelectedRow(int& datum);
  void SetDragEnabled(bool enable);
  // Starts dragging row index; point is in client (widget) coordinates.
  void BeginRowDrag(int index, QPoint point);
  void MakeHeaderOwnerDrawn();
  void MoveRow(int from, int to);

  // --- What the owner does through the list view's standard messages ---
  int GetItemCount() const;
  QString GetItemText(int row, int subItem) const;
  int GetItemData(int row) const;
  bool SetItemData(int row, int datum);
  int GetSelectedRow() const;  // first selected row, -1 when none
  void SetBkColor(const QColor& colour);
  void SetTextBkColor(const QColor& colour);
  void SetTextColor(const QColor& colour);
  void SetExtendedStyle(unsigned styles);
  unsigned GetExtendedStyle() const { return extendedStyle_; }
  void InsertColumn(int column, const QString& title, int format, int width);
  void SetColumnText(int column, const QString& title);
  void SetColumnWidth(int column, int width);
  int GetColumnWidth(int column) const;
  int GetClientWidth() const;      // the rows' area, without a shown vertical scroll bar
  int GetCountPerPage() const;     // rows that fit fully in the rows' area
  int GetTopIndex() const;         // first visible row
  int GetRowHeight() const;
  void EnsureVisible(int row);
  QRect GetItemRect(int row) const;  // in client (widget) coordinates
  // Files dropped from outside are accepted only while this is on.
  void DragAcceptFiles(bool accept);
  bool AcceptsFiles() const { return acceptFiles_; }

  // --- Inspection, for the owner's tests and the picture ---
  CHeaderLst* Header() const { return header_; }
  int GetImageIndex(int row) const;  // -1 when the row has no image
  QImage GetRowImage(int row) const; // the row's thumbnail (null when none)
  int ImageCount() const { return static_cast<int>(thumbnails.size()); }
  bool IsNarrowed() const { return narrowed; }
  bool IsDragging() const { return dragging; }
  bool IsDragEnabled() const { return dragEnabled; }
  int DragTarget() const { return dragTo; }

  // Handles one drop of these local paths, in this order: the parent window
  // gets MSG_DROP_STATE 0, MSG_ADD_DROPPED_FILE per accepted file (a reply
  // of 0 ends the drop), then MSG_DROP_STATE 1.
  void OnDropFiles(const QStringList& names);

  // The window the drop messages go to: the nearest ancestor that receives
  // window messages, unless one was set explicitly.
  MessageTarget* ParentTarget() const;
  void SetParentTarget(MessageTarget* target) { parentTarget_ = target; }

 signals:
  // The user pressed a row and moved the mouse far enough to drag it: item
  // and the point where the press happened (client coordinates). The owner
  // answers with BeginRowDrag.
  void BeginDrag(int item, QPoint point);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QPoint ToClient(QPointF viewportPoint) const;
  int RowAtClient(QPoint clientPoint) const;
  void SelectRow(int row);
  void FitFileColumn();
  void EndDragImage();
  void SetRowImage(QTreeWidgetItem* item, int imageIndex);

  // Members of the design, in its order.
  QList<QPixmap> thumbnails;
  CHeaderLst* header_;
  bool dragging = false;
  int dragFrom = 0;
  int dragTo = 0;
  QPoint hotspot;
  QLabel* dragImage = nullptr;
  bool narrowed = false;
  bool dragEnabled = true;

  unsigned extendedStyle_ = 0;
  bool acceptFiles_ = true;
  MessageTarget* parentTarget_ = nullptr;
  // Press that may turn into a row drag.
  int pressRow_ = -1;
  QPoint pressPoint_;
  bool beginDragSent_ = false;
};
