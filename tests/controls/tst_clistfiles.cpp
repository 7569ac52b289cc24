// The clip list on its own: rows and their thumbnails, removal, the column
// fit, the hit filter, row dragging with real mouse events, and the header.
#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QtTest>

#include "controls/CHeaderLst.h"
#include "controls/CListFiles.h"

namespace {

QImage SolidThumb(const QColor& colour) {
  QImage image(CListFiles::kThumbWidth, CListFiles::kThumbHeight, QImage::Format_RGB32);
  image.fill(colour);
  return image;
}

QColor RowColour(int i) { return QColor::fromHsv((i * 47) % 360, 200, 200).toRgb(); }

// The owner's set-up, as the main dialog performs it.
void SetUp(CListFiles& list) {
  list.SetBkColor(QColor(255, 250, 230));
  list.SetTextBkColor(QColor(255, 250, 230));
  list.SetTextColor(QColor(0, 0, 128));
  list.SetExtendedStyle(list.GetExtendedStyle() | LVS_EX_FULLROWSELECT | LVS_EX_FLATSB |
                        LVS_EX_INFOTIP | LVS_EX_SINGLEROW);
  list.InsertColumn(0, QStringLiteral("Preview"), LVCFMT_CENTER, 256);
  list.InsertColumn(1, QStringLiteral("File name"), LVCFMT_LEFT,
                    std::max(list.GetClientWidth(), 400) - 256);
  list.MakeHeaderOwnerDrawn();
}

QStringList Paths(const CListFiles& list) {
  QStringList paths;
  for (int i = 0; i < list.GetItemCount(); ++i) paths << list.GetItemText(i, 1);
  return paths;
}

QString Order(const CListFiles& list) { return Paths(list).join(QLatin1Char(',')); }

void Fill(CListFiles& list, int rows) {
  for (int i = 0; i < rows; ++i) {
    const int row = list.AddClipRow(QString::number(i), SolidThumb(RowColour(i)));
    list.SetItemData(row, 10 + i);
  }
}

void SendMouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
  QMouseEvent event(type, QPointF(pos), QPointF(target->mapToGlobal(pos)), button, buttons,
                    Qt::NoModifier);
  QApplication::sendEvent(target, &event);
}

// Press on a row, move until the list asks to begin the drag, follow the
// given path (client coordinates) and release at its end.
void DragAlong(CListFiles& list, QPoint from, const QList<QPoint>& path) {
  QWidget* vp = list.viewport();
  const QPoint offset = vp->pos();
  SendMouse(vp, QEvent::MouseButtonPress, from - offset, Qt::LeftButton, Qt::LeftButton);
  const QPoint nudge = from + QPoint(0, QApplication::startDragDistance() + 1);
  SendMouse(vp, QEvent::MouseMove, nudge - offset, Qt::NoButton, Qt::LeftButton);
  for (const QPoint& p : path)
    SendMouse(vp, QEvent::MouseMove, p - offset, Qt::NoButton, Qt::LeftButton);
  SendMouse(vp, QEvent::MouseButtonRelease, path.last() - offset, Qt::LeftButton, Qt::NoButton);
}

QPoint RowCentre(const CListFiles& list, int row) { return list.GetItemRect(row).center(); }

}  // namespace

class TestCListFiles : public QObject {
  Q_OBJECT
 private:
  // A list as the main dialog shows it, big enough for `rows` whole rows.
  std::unique_ptr<CListFiles> MakeList(int width, int rowsVisible) {
    auto list = std::make_unique<CListFiles>();
    const int headerHeight = list->header()->sizeHint().height();
    const int frame = 2 * list->frameWidth();
    list->resize(width, headerHeight + frame + rowsVisible * list->GetRowHeight() + 10);
    connect(list.get(), &CListFiles::BeginDrag, list.get(), &CListFiles::BeginRowDrag);
    list->show();
    SetUp(*list);
    return list;
  }

 private slots:
  void addRowsSelectAndKeepTheirData() {
    auto list = MakeList(600, 3);
    QCOMPARE(list->GetCountPerPage(), 3);
    QCOMPARE(list->AddClipRow(QStringLiteral("/clips/a.avi"), SolidThumb(Qt::red)), 0);
    QCOMPARE(list->AddClipRow(QStringLiteral("/clips/b.avi"), SolidThumb(Qt::green)), 1);
    QVERIFY(list->SetItemData(1, 42));
    QCOMPARE(list->GetSelectedRow(), 1);
    QCOMPARE(list->GetItemText(0, 1), QStringLiteral("/clips/a.avi"));
    QCOMPARE(list->GetItemText(0, 0), QString());  // column 0 carries only the image
    QCOMPARE(list->GetItemData(1), 42);
    QCOMPARE(list->GetItemData(0), 0);
    QCOMPARE(list->GetImageIndex(1), 1);
    QCOMPARE(list->GetRowImage(0).pixelColor(10, 10).rgb(), QColor(Qt::red).rgb());
    QCOMPARE(list->GetItemRect(0).height(), CListFiles::kThumbHeight + CListFiles::kRowSpacing);

    // The picture on screen is the row's own thumbnail.
    QApplication::processEvents();
    const QImage shot = list->grab().toImage();
    QCOMPARE(shot.pixelColor(list->GetItemRect(0).left() + 100, RowCentre(*list, 0).y()),
             QColor(Qt::red));
    // The selected row's picture is tinted a little by the highlight, as the
    // list view blends a selected image.
    const QColor selected =
        shot.pixelColor(list->GetItemRect(1).left() + 100, RowCentre(*list, 1).y());
    QVERIFY2(selected.green() > 220 && selected.red() < 40 && selected.blue() < 60,
             qPrintable(selected.name()));

    // A null picture still gives a row, without an image.
    QCOMPARE(list->AddClipRow(QStringLiteral("/clips/c.avi"), QImage()), 2);
    QCOMPARE(list->GetImageIndex(2), -1);
    QCOMPARE(list->ImageCount(), 2);
  }

  void removeFirstMiddleLastAndNone() {
    auto list = MakeList(600, 6);
    Fill(*list, 5);
    int datum = -1;
    list->clearSelection();
    QCOMPARE(list->RemoveSelectedRow(datum), -1);
    QCOMPARE(datum, 0);
    QCOMPARE(list->GetItemCount(), 5);

    // Middle row: the row that moved into its place is selected.
    list->setCurrentItem(list->topLevelItem(2));
    QCOMPARE(list->RemoveSelectedRow(datum), 2);
    QCOMPARE(datum, 12);
    QCOMPARE(Order(*list), QStringLiteral("0,1,3,4"));
    QCOMPARE(list->GetSelectedRow(), 2);
    // Thumbnails of later rows are still their own.
    QCOMPARE(list->ImageCount(), 4);
    QCOMPARE(list->GetRowImage(2).pixelColor(5, 5).rgb(), RowColour(3).rgb());
    QCOMPARE(list->GetRowImage(3).pixelColor(5, 5).rgb(), RowColour(4).rgb());

    // Last row: the new last row is selected.
    list->setCurrentItem(list->topLevelItem(3));
    QCOMPARE(list->RemoveSelectedRow(datum), 2);
    QCOMPARE(datum, 14);
    QCOMPARE(list->GetSelectedRow(), 2);

    // First row.
    list->setCurrentItem(list->topLevelItem(0));
    QCOMPARE(list->RemoveSelectedRow(datum), 0);
    QCOMPARE(datum, 10);
    QCOMPARE(Order(*list), QStringLiteral("1,3"));
    QCOMPARE(list->GetRowImage(0).pixelColor(5, 5).rgb(), RowColour(1).rgb());
    QCOMPARE(list->GetRowImage(1).pixelColor(5, 5).rgb(), RowColour(3).rgb());
    QApplication::processEvents();
    list->clearSelection();
    const QImage shot2 = list->grab().toImage();
    QCOMPARE(shot2.pixelColor(list->GetItemRect(1).left() + 50, RowCentre(*list, 1).y()).rgb(),
             RowColour(3).rgb());
    list->setCurrentItem(list->topLevelItem(0));

    QCOMPARE(list->RemoveSelectedRow(datum), 0);
    QCOMPARE(list->RemoveSelectedRow(datum), 0);  // the list is now empty
    QCOMPARE(list->GetItemCount(), 0);
    QCOMPARE(list->RemoveSelectedRow(datum), -1);
    QCOMPARE(datum, 0);
    QCOMPARE(list->ImageCount(), 0);
  }

  void columnFitFollowsTheScrollBar() {
    auto list = MakeList(600, 3);
    const int client = list->GetClientWidth();
    QCOMPARE(list->GetColumnWidth(0), 256);
    QCOMPARE(list->GetColumnWidth(1), client - 256);
    Fill(*list, 3);
    QVERIFY(!list->IsNarrowed());
    QCOMPARE(list->GetColumnWidth(1), client - 256);
    // The fourth row needs the scroll bar: the file column narrows once.
    Fill(*list, 1);
    QVERIFY(list->IsNarrowed());
    const int narrowedWidth = list->GetColumnWidth(1);
    QVERIFY2(narrowedWidth < client - 256, qPrintable(QString::number(narrowedWidth)));
    QCOMPARE(narrowedWidth, list->GetClientWidth() - 256);
    Fill(*list, 2);
    QCOMPARE(list->GetColumnWidth(1), narrowedWidth);
    // Removing until all rows fit widens it again.
    int datum = 0;
    while (list->GetItemCount() > 3) {
      QVERIFY(list->IsNarrowed());
      list->RemoveSelectedRow(datum);
    }
    QVERIFY(!list->IsNarrowed());
    QCOMPARE(list->GetColumnWidth(1), client - 256);

    // Under 400 pixels the file column is 144 wide.
    auto small = MakeList(300, 2);
    QCOMPARE(small->GetColumnWidth(1), 144);
  }

  void clickOnEmptySpaceKeepsSelection() {
    auto list = MakeList(600, 5);
    Fill(*list, 3);
    list->setCurrentItem(list->topLevelItem(1));
    QWidget* vp = list->viewport();
    const QPoint empty(200, vp->height() - 10);  // below the last row
    QTest::mouseClick(vp, Qt::LeftButton, {}, empty);
    QCOMPARE(list->GetSelectedRow(), 1);
    QTest::mouseClick(vp, Qt::RightButton, {}, empty);
    QTest::mouseDClick(vp, Qt::LeftButton, {}, empty);
    QCOMPARE(list->GetSelectedRow(), 1);
    QTest::mouseClick(vp, Qt::LeftButton, {}, RowCentre(*list, 2) - vp->pos());
    QCOMPARE(list->GetSelectedRow(), 2);
  }

  void dragReordersRows() {
    auto list = MakeList(600, 5);
    Fill(*list, 5);
    DragAlong(*list, RowCentre(*list, 0), {RowCentre(*list, 1), RowCentre(*list, 2)});
    QCOMPARE(Order(*list), QStringLiteral("1,2,0,3,4"));
    QCOMPARE(list->GetSelectedRow(), 2);
    QVERIFY(!list->IsDragging());
    // The moved row keeps its picture and datum.
    QCOMPARE(list->GetRowImage(2).pixelColor(5, 5).rgb(), RowColour(0).rgb());
    QCOMPARE(list->GetItemData(2), 10);

    auto other = MakeList(600, 5);
    Fill(*other, 5);
    DragAlong(*other, RowCentre(*other, 4), {RowCentre(*other, 3), RowCentre(*other, 1)});
    QCOMPARE(Order(*other), QStringLiteral("0,4,1,2,3"));
    QCOMPARE(other->GetSelectedRow(), 1);
  }

  void dragEdgeCases() {
    auto list = MakeList(600, 5);
    Fill(*list, 4);  // room below the rows inside the list
    // Released where it started: nothing changes.
    DragAlong(*list, RowCentre(*list, 1), {RowCentre(*list, 2), RowCentre(*list, 1)});
    QCOMPARE(Order(*list), QStringLiteral("0,1,2,3"));
    // Over empty space inside the list the last row passed over counts.
    const QPoint emptyInside(200, list->viewport()->geometry().bottom() - 20);
    DragAlong(*list, RowCentre(*list, 0), {RowCentre(*list, 2), emptyInside});
    QCOMPARE(Order(*list), QStringLiteral("1,2,0,3"));
    // Below the list: top index + rows per page, which appends past the end.
    const QPoint below(200, list->height() + 30);
    DragAlong(*list, RowCentre(*list, 0), {below});
    QCOMPARE(Order(*list), QStringLiteral("2,0,3,1"));
    // Above the list with row 0 on top: the target stays where it was.
    DragAlong(*list, RowCentre(*list, 3), {RowCentre(*list, 2), QPoint(200, -20)});
    QCOMPARE(Order(*list), QStringLiteral("2,0,1,3"));
    // Forbidden drags change nothing.
    list->SetDragEnabled(false);
    DragAlong(*list, RowCentre(*list, 0), {RowCentre(*list, 3)});
    QCOMPARE(Order(*list), QStringLiteral("2,0,1,3"));
    QVERIFY(!list->IsDragging());
  }

  void dragAboveScrolledList() {
    auto list = MakeList(600, 3);
    Fill(*list, 8);  // the last add scrolled to the end
    const int top = list->GetTopIndex();
    QVERIFY(top > 0);
    const int from = top + 1;
    const QString moved = list->GetItemText(from, 1);
    DragAlong(*list, RowCentre(*list, from), {QPoint(200, -15)});
    QCOMPARE(list->GetItemText(top - 1, 1), moved);
  }

  // A drag in a scrolled list leaves the rows in view where they were: the
  // top row stays the top row and no blank space opens below the last one.
  void dragKeepsTheScrollPosition() {
    auto list = MakeList(600, 3);
    Fill(*list, 8);  // scrolled to the end
    const int top = list->GetTopIndex();
    const int value = list->verticalScrollBar()->value();
    QVERIFY(top > 0 && value == list->verticalScrollBar()->maximum());
    const auto lastRowBottom = [&] { return list->GetItemRect(7).bottom() - list->viewport()->geometry().top(); };
    const int bottomBefore = lastRowBottom();
    for (auto [from, to] : {std::pair{7, 5}, std::pair{top, 7}, std::pair{6, top}}) {
      const QString moved = list->GetItemText(from, 1);
      DragAlong(*list, RowCentre(*list, from), {RowCentre(*list, to)});
      QCOMPARE(list->GetItemText(to, 1), moved);
      QCOMPARE(list->GetTopIndex(), top);
      QCOMPARE(list->verticalScrollBar()->value(), value);
      QCOMPARE(lastRowBottom(), bottomBefore);
      QVERIFY(bottomBefore < list->viewport()->height());
      QVERIFY(bottomBefore >= list->viewport()->height() - list->GetRowHeight());
    }
    // At the top, dragging the first row down keeps the list at its top.
    list->verticalScrollBar()->setValue(0);
    DragAlong(*list, RowCentre(*list, 0), {RowCentre(*list, 2)});
    QCOMPARE(list->GetTopIndex(), 0);
  }

  void headerIsDrawnInTheSkinColours() {
    auto list = MakeList(600, 3);
    CHeaderLst* header = list->Header();
    QVERIFY(header->IsOwnerDrawn(0) && header->IsOwnerDrawn(1));
    list->SetColumnText(1, QStringLiteral("A file name far too long to fit into the narrow column"));
    list->SetColumnWidth(1, 120);
    QApplication::processEvents();
    const QImage shot = header->grab().toImage();
    QCOMPARE(shot.pixelColor(3, 2), CHeaderLst::FillColour());
    const int blank = QFontMetrics(header->font()).horizontalAdvance(QLatin1Char(' '));
    const int left = header->sectionPosition(1);
    const int right = left + header->sectionSize(1);
    // Text pixels lie only between the two margins of two blanks each.
    int textPixels = 0;
    for (int x = left; x < right; ++x)
      for (int y = 0; y < shot.height(); ++y) {
        const QColor c = shot.pixelColor(x, y);
        if (c == CHeaderLst::FillColour()) continue;
        ++textPixels;
        QVERIFY2(x >= left + 2 * blank && x < right - 2 * blank,
                 qPrintable(QStringLiteral("ink at %1").arg(x)));
      }
    QVERIFY(textPixels > 20);
    // The short title of column 0 is centred.
    int minX = shot.width(), maxX = 0;
    for (int x = 0; x < 256; ++x)
      for (int y = 0; y < shot.height(); ++y)
        if (shot.pixelColor(x, y) != CHeaderLst::FillColour()) {
          minX = std::min(minX, x);
          maxX = std::max(maxX, x);
        }
    QVERIFY(std::abs((minX + maxX) / 2 - 128) <= 3);
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TestCListFiles test;
  return QTest::qExec(&test, argc, argv);
}

#include "tst_clistfiles.moc"
