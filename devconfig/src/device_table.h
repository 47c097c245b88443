// The device table's data: rows of seven texts, new rows at the top, found
// by their address (column 0) through a hash index. Every change costs time
// in proportion to the rows it touches (a logarithm of the table's size
// aside), never to the whole table: a search that brings tens of thousands
// of answers costs in proportion to their number, and so does clearing them
// at the next search. (A QStandardItemModel that takes its new rows at the
// top costs a scan of the table for each cell that later changes or goes.)
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>
#include <vector>

class DeviceTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kColumns = 7;

  explicit DeviceTableModel(QObject* parent = nullptr);

  void setHorizontalHeaderLabels(const QStringList& labels);
  // A new row at the top; missing texts are empty.
  void prependRow(const QStringList& texts);
  // The rows whose address (column 0) is `ip`, from the top.
  QList<int> rowsWithIp(const QString& ip) const;
  // The top one of them, or -1.
  int firstRowWithIp(const QString& ip) const;
  bool hasIp(const QString& ip) const { return m_byIp.contains(ip); }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
  // Stable: rows with equal texts keep their order.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  using Texts = std::array<QString, kColumns>;

  bool Holds(const QModelIndex& index) const;

  // Rows live in slots in the order they came, the top row in the last live
  // slot; a removed row leaves a dead slot until the slots are packed again.
  // A Fenwick tree over the live slots turns a row number into its slot and
  // back.
  int SlotOfRow(int row) const;
  int RowOfSlot(int slot) const;
  void SetLive(int slot, bool live);
  // Packs the live slots (in order) into room for at least `room` more.
  void Pack(const std::vector<Texts>& rowsBottomUp, int room);
  // Packs the live slots, with room for as many rows again (and at least a
  // thousand).
  void PackLive();
  void IndexSlot(int slot);
  void UnindexSlot(int slot);

  std::vector<Texts> m_slots;
  std::vector<char> m_live;
  std::vector<int> m_tree;  // 1-based Fenwick tree of m_live
  int m_liveCount = 0;
  QHash<QString, QVector<int>> m_byIp;  // address -> its rows' slots
  QStringList m_headers;
};
