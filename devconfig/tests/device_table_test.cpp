// The device table's model against Qt's own item model doing the same: rows
// taken in at the top, removed in runs, cells set (addresses too, so that
// some repeat), sorted by every column both ways; through the packing of
// removed rows and the growth of the table. Texts, row order, the rows found
// by address and a persistent index must be the same in both throughout.
#include <gtest/gtest.h>

#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QStandardItemModel>

#include <algorithm>
#include <random>

#include "device_table.h"

namespace {

QList<int> RowsWithIpByScan(const QAbstractItemModel& m, const QString& ip) {
  QList<int> out;
  for (int r = 0; r < m.rowCount(); ++r)
    if (m.index(r, 0).data().toString() == ip) out << r;
  return out;
}

// The row of a persistent index, or -1 once its row is gone.
int RowOf(const QPersistentModelIndex& i) { return i.isValid() ? i.row() : -1; }

class Twins {
 public:
  Twins() {
    ref_.setColumnCount(DeviceTableModel::kColumns);
    ref_.setHorizontalHeaderLabels(kHeaders);
    model_.setHorizontalHeaderLabels(kHeaders);
  }

  void Prepend(const QStringList& texts) {
    QList<QStandardItem*> items;
    for (const QString& t : texts) items << new QStandardItem(t);
    ref_.insertRow(0, items);
    model_.prependRow(texts);
  }
  void Remove(int row, int count) {
    ASSERT_EQ(model_.removeRows(row, count), ref_.removeRows(row, count));
  }
  void Set(int row, int column, const QString& text) {
    ref_.setData(ref_.index(row, column), text);
    model_.setData(model_.index(row, column), text);
  }
  void Sort(int column, Qt::SortOrder order) {
    ref_.sort(column, order);
    model_.sort(column, order);
  }
  void Follow(int row) {
    refMark_ = QPersistentModelIndex(ref_.index(row, 1));
    mark_ = QPersistentModelIndex(model_.index(row, 1));
  }

  // The rows found by these addresses, compared.
  void ExpectSameRows(const QStringList& ips) const {
    for (const QString& ip : ips) {
      const QList<int> rows = RowsWithIpByScan(ref_, ip);
      ASSERT_EQ(model_.rowsWithIp(ip), rows) << ip.toStdString();
      ASSERT_EQ(model_.firstRowWithIp(ip), rows.isEmpty() ? -1 : rows.first());
      ASSERT_EQ(model_.hasIp(ip), !rows.isEmpty());
    }
    ASSERT_EQ(RowOf(mark_), RowOf(refMark_));
    if (mark_.isValid()) {
      ASSERT_EQ(mark_.column(), 1);
    }
  }
  // Everything the two show, compared.
  void ExpectSame(const QStringList& ips) const {
    ASSERT_EQ(model_.rowCount(), ref_.rowCount());
    ASSERT_EQ(model_.columnCount(), ref_.columnCount());
    for (int r = 0; r < ref_.rowCount(); ++r)
      for (int c = 0; c < DeviceTableModel::kColumns; ++c)
        ASSERT_EQ(model_.index(r, c).data(), ref_.index(r, c).data()) << "row " << r << " column " << c;
    ExpectSameRows(ips);
  }
  QString Ip(int row) const { return ref_.index(row, 0).data().toString(); }

  int rows() const { return ref_.rowCount(); }
  DeviceTableModel& model() { return model_; }

  static const QStringList kHeaders;

 private:
  QStandardItemModel ref_;
  DeviceTableModel model_;
  QPersistentModelIndex refMark_, mark_;
};

const QStringList Twins::kHeaders{"设备IP", "设备MAC", "设备版本", "设备编号", "网关", "子网掩码", "设备IP获取方式"};

TEST(DeviceTable, HeadersAndAnEmptyTable) {
  Twins t;
  for (int c = 0; c < DeviceTableModel::kColumns; ++c)
    EXPECT_EQ(t.model().headerData(c, Qt::Horizontal).toString(), Twins::kHeaders[c]);
  EXPECT_EQ(t.model().rowCount(), 0);
  EXPECT_EQ(t.model().firstRowWithIp("10.0.0.1"), -1);
  EXPECT_FALSE(t.model().removeRows(0, 1));
  EXPECT_FALSE(t.model().index(0, 0).isValid());
  t.Sort(0, Qt::AscendingOrder);
  t.ExpectSame({"10.0.0.1"});
}

TEST(DeviceTable, TellsViewsOfEveryChange) {
  DeviceTableModel m;
  QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
  QSignalSpy removed(&m, &QAbstractItemModel::rowsRemoved);
  QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
  int sorted = 0;
  QObject::connect(&m, &QAbstractItemModel::layoutChanged, [&] { ++sorted; });
  m.prependRow({"10.0.0.2"});
  m.prependRow({"10.0.0.1"});
  ASSERT_EQ(inserted.size(), 2);
  EXPECT_EQ(inserted[1][1].toInt(), 0) << "at the top";
  EXPECT_TRUE(m.setData(m.index(1, 4), "10.0.0.254"));
  ASSERT_EQ(changed.size(), 1);
  EXPECT_EQ(changed[0][0].toModelIndex(), m.index(1, 4));
  m.sort(0, Qt::DescendingOrder);
  EXPECT_EQ(sorted, 1);
  EXPECT_EQ(m.index(0, 0).data().toString(), "10.0.0.2");
  EXPECT_TRUE(m.removeRows(0, 2));
  ASSERT_EQ(removed.size(), 1);
  EXPECT_EQ(removed[0][1].toInt(), 0);
  EXPECT_EQ(removed[0][2].toInt(), 1);
  EXPECT_FALSE(m.setData(QModelIndex(), "x"));
}

// A long run of changes of every kind, the same in both models.
TEST(DeviceTable, DoesWhatQtsItemModelDoes) {
  Twins t;
  std::mt19937 rng(26);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  // Few enough addresses that rows share them, and texts that tie in sorts.
  QStringList ips;
  for (int i = 0; i < 400; ++i) ips << QStringLiteral("10.0.%1.%2").arg(i / 100).arg(i % 100);
  const QStringList marks{"自动搜索", "手动添加"};
  auto row = [&] {
    return QStringList{ips[pick(ips.size())], QString::number(pick(50)), "IPNC", "", "0.0.0.0", "0.0.0.0",
                       marks[pick(2)]};
  };

  // Grows past the first room, shrinks past the packing of removed rows,
  // and grows again.
  for (int phase = 0; phase < 3; ++phase) {
    SCOPED_TRACE(phase);
    const int steps = phase == 1 ? 2500 : 3000;
    for (int step = 0; step < steps; ++step) {
      const int what = pick(100);
      QStringList touched;  // the addresses whose rows this step changes
      if (phase != 1 ? what < 70 : what < 20) {
        const QStringList texts = row();
        t.Prepend(texts);
        touched << texts[0];
      } else if (t.rows() > 0 && what < 92) {
        const int at = pick(t.rows());
        touched << t.Ip(at) << t.Ip(std::max(0, at - 1));
        t.Remove(at, 1 + pick(std::min(3, t.rows() - at)));
      } else if (t.rows() > 0 && what < 98) {
        const int at = pick(t.rows());
        const int column = pick(4) ? 0 : pick(DeviceTableModel::kColumns);
        touched << t.Ip(at) << ips[pick(ips.size())];
        t.Set(at, column, touched[1]);
      } else {
        t.Sort(pick(DeviceTableModel::kColumns), pick(2) ? Qt::AscendingOrder : Qt::DescendingOrder);
      }
      if (t.rows() > 0 && pick(20) == 0) t.Follow(pick(t.rows()));
      ASSERT_NO_FATAL_FAILURE(t.ExpectSameRows(touched));
      if (step % 250 == 0) {
        ASSERT_NO_FATAL_FAILURE(t.ExpectSame(ips));
      }
    }
    ASSERT_NO_FATAL_FAILURE(t.ExpectSame(ips));
  }
  // The whole table at once.
  t.Follow(0);
  t.Remove(0, t.rows());
  ASSERT_NO_FATAL_FAILURE(t.ExpectSame(ips));
  t.Prepend(row());
  ASSERT_NO_FATAL_FAILURE(t.ExpectSame(ips));
}

}  // namespace
