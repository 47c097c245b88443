#include "device_table.h"

#include <algorithm>
#include <numeric>

namespace {
constexpr int kMinRoom = 1024;
}  // namespace

DeviceTableModel::DeviceTableModel(QObject* parent) : QAbstractTableModel(parent) { Pack({}, kMinRoom); }

void DeviceTableModel::setHorizontalHeaderLabels(const QStringList& labels) {
  m_headers = labels;
  emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

bool DeviceTableModel::Holds(const QModelIndex& index) const {
  return index.isValid() && index.model() == this && index.row() < m_liveCount && index.column() < kColumns;
}

int DeviceTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_liveCount; }

int DeviceTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const {
  if (!Holds(index) || (role != Qt::DisplayRole && role != Qt::EditRole)) return QVariant();
  return m_slots[static_cast<size_t>(SlotOfRow(index.row()))][static_cast<size_t>(index.column())];
}

bool DeviceTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!Holds(index) || (role != Qt::DisplayRole && role != Qt::EditRole)) return false;
  const int slot = SlotOfRow(index.row());
  if (index.column() == 0) UnindexSlot(slot);
  m_slots[static_cast<size_t>(slot)][static_cast<size_t>(index.column())] = value.toString();
  if (index.column() == 0) IndexSlot(slot);
  emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
  return true;
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_headers.size())
    return m_headers.at(section);
  return QAbstractTableModel::headerData(section, orientation, role);
}

void DeviceTableModel::prependRow(const QStringList& texts) {
  if (m_slots.size() + 1 >= m_tree.size()) PackLive();
  beginInsertRows(QModelIndex(), 0, 0);
  Texts row;
  for (int c = 0; c < kColumns && c < texts.size(); ++c) row[static_cast<size_t>(c)] = texts.at(c);
  m_slots.push_back(std::move(row));
  m_live.push_back(0);
  const int slot = static_cast<int>(m_slots.size()) - 1;
  SetLive(slot, true);
  IndexSlot(slot);
  endInsertRows();
}

bool DeviceTableModel::removeRows(int row, int count, const QModelIndex& parent) {
  if (parent.isValid() || row < 0 || count < 1 || row + count > m_liveCount) return false;
  std::vector<int> gone;
  gone.reserve(static_cast<size_t>(count));
  for (int r = row; r < row + count; ++r) gone.push_back(SlotOfRow(r));
  beginRemoveRows(QModelIndex(), row, row + count - 1);
  for (const int slot : gone) {
    UnindexSlot(slot);
    SetLive(slot, false);
    m_slots[static_cast<size_t>(slot)] = Texts();
  }
  endRemoveRows();
  // Dead slots are packed away once they outnumber the rows; the row numbers
  // stay as they are.
  if (static_cast<int>(m_slots.size()) - m_liveCount > m_liveCount + kMinRoom) PackLive();
  return true;
}

void DeviceTableModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= kColumns) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  // The rows from the top, and their new order.
  std::vector<int> slotOf;
  slotOf.reserve(static_cast<size_t>(m_liveCount));
  for (size_t s = m_slots.size(); s-- > 0;)
    if (m_live[s]) slotOf.push_back(static_cast<int>(s));
  std::vector<int> byOrder(slotOf.size());
  std::iota(byOrder.begin(), byOrder.end(), 0);
  const size_t col = static_cast<size_t>(column);
  auto text = [&](int row) -> const QString& { return m_slots[static_cast<size_t>(slotOf[static_cast<size_t>(row)])][col]; };
  if (order == Qt::AscendingOrder)
    std::stable_sort(byOrder.begin(), byOrder.end(), [&](int a, int b) { return text(a) < text(b); });
  else
    std::stable_sort(byOrder.begin(), byOrder.end(), [&](int a, int b) { return text(b) < text(a); });
  std::vector<int> newRowOf(byOrder.size());
  for (size_t i = 0; i < byOrder.size(); ++i) newRowOf[static_cast<size_t>(byOrder[i])] = static_cast<int>(i);

  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  to.reserve(from.size());
  for (const QModelIndex& i : from)
    to.append(index(newRowOf[static_cast<size_t>(i.row())], i.column()));

  std::vector<Texts> rows;
  rows.reserve(byOrder.size());
  for (size_t i = byOrder.size(); i-- > 0;)
    rows.push_back(std::move(m_slots[static_cast<size_t>(slotOf[static_cast<size_t>(byOrder[i])])]));
  Pack(rows, std::max(kMinRoom, m_liveCount));
  changePersistentIndexList(from, to);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

QList<int> DeviceTableModel::rowsWithIp(const QString& ip) const {
  QList<int> out;
  const auto it = m_byIp.constFind(ip);
  if (it == m_byIp.constEnd()) return out;
  for (const int slot : *it) out.append(RowOfSlot(slot));
  std::sort(out.begin(), out.end());
  return out;
}

int DeviceTableModel::firstRowWithIp(const QString& ip) const {
  const QList<int> rows = rowsWithIp(ip);
  return rows.isEmpty() ? -1 : rows.first();
}

int DeviceTableModel::SlotOfRow(int row) const {
  // The k-th live slot from the bottom, k counted from 1.
  int k = m_liveCount - row;
  const int n = static_cast<int>(m_tree.size()) - 1;
  int pos = 0;
  int step = 1;
  while (step * 2 <= n) step *= 2;
  for (; step > 0; step /= 2) {
    if (pos + step <= n && m_tree[static_cast<size_t>(pos + step)] < k) {
      pos += step;
      k -= m_tree[static_cast<size_t>(pos)];
    }
  }
  return pos;  // the 1-based position pos + 1 is slot pos
}

int DeviceTableModel::RowOfSlot(int slot) const {
  int upTo = 0;  // live slots from the bottom up to this one
  for (int i = slot + 1; i > 0; i -= i & -i) upTo += m_tree[static_cast<size_t>(i)];
  return m_liveCount - upTo;
}

void DeviceTableModel::SetLive(int slot, bool live) {
  char& flag = m_live[static_cast<size_t>(slot)];
  if ((flag != 0) == live) return;
  flag = live ? 1 : 0;
  const int delta = live ? 1 : -1;
  for (size_t i = static_cast<size_t>(slot) + 1; i < m_tree.size(); i += i & (~i + 1)) m_tree[i] += delta;
  m_liveCount += delta;
}

void DeviceTableModel::Pack(const std::vector<Texts>& rowsBottomUp, int room) {
  const size_t n = rowsBottomUp.size();
  m_slots = rowsBottomUp;
  m_slots.reserve(n + static_cast<size_t>(room));
  m_live.assign(n, 1);
  m_tree.assign(n + static_cast<size_t>(room) + 1, 0);
  // Built in one pass: each node passes its sum on to its parent.
  for (size_t i = 1; i < m_tree.size(); ++i) {
    if (i <= n) m_tree[i] += 1;
    const size_t parent = i + (i & (~i + 1));
    if (parent < m_tree.size()) m_tree[parent] += m_tree[i];
  }
  m_liveCount = static_cast<int>(n);
  m_byIp.clear();
  for (size_t s = 0; s < n; ++s) IndexSlot(static_cast<int>(s));
}

void DeviceTableModel::PackLive() {
  std::vector<Texts> rows;
  rows.reserve(static_cast<size_t>(m_liveCount));
  for (size_t s = 0; s < m_slots.size(); ++s)
    if (m_live[s]) rows.push_back(std::move(m_slots[s]));
  Pack(rows, std::max(kMinRoom, m_liveCount));
}

void DeviceTableModel::IndexSlot(int slot) { m_byIp[m_slots[static_cast<size_t>(slot)][0]].append(slot); }

void DeviceTableModel::UnindexSlot(int slot) {
  const auto it = m_byIp.find(m_slots[static_cast<size_t>(slot)][0]);
  if (it == m_byIp.end()) return;
  it->removeOne(slot);
  if (it->isEmpty()) m_byIp.erase(it);
}
