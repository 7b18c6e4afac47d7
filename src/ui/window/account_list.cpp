#include "ui/window/account_list.h"

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <functional>
#include <map>

#include "engine/sign_in_run.h"
#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

QColor verdictColour(Verdict verdict) {
    switch (verdict) {
        case Verdict::Success:
            return {0x2e, 0x7d, 0x32};
        case Verdict::Already:
            return {0x26, 0x8a, 0x7e};
        case Verdict::Expired:
            return {0xef, 0x6c, 0x00};
        case Verdict::Failed:
            return {0xc6, 0x28, 0x28};
        case Verdict::Unknown:
        case Verdict::Skipped:
            break;
    }
    return {0x9e, 0x9e, 0x9e};
}

// The glyph on a 16 × 16 grid, in white.
void paintGlyph(QPainter& painter, Verdict verdict) {
    QPen pen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    switch (verdict) {
        case Verdict::Success:
            painter.drawPolyline(QPolygonF({{4.5, 8.5}, {7.0, 11.0}, {11.5, 5.5}}));
            break;
        case Verdict::Already:
            pen.setWidthF(1.6);
            painter.setPen(pen);
            painter.drawPolyline(QPolygonF({{2.8, 8.6}, {5.0, 10.8}, {9.0, 5.8}}));
            painter.drawPolyline(QPolygonF({{6.6, 10.2}, {7.4, 10.8}, {12.6, 5.8}}));
            break;
        case Verdict::Expired:
            painter.drawLine(QPointF(8.0, 4.0), QPointF(8.0, 8.8));
            painter.drawPoint(QPointF(8.0, 11.8));
            break;
        case Verdict::Failed:
            painter.drawLine(QPointF(5.3, 5.3), QPointF(10.7, 10.7));
            painter.drawLine(QPointF(10.7, 5.3), QPointF(5.3, 10.7));
            break;
        case Verdict::Unknown:
        case Verdict::Skipped: {
            pen.setWidthF(1.7);
            painter.setPen(pen);
            QPainterPath hook;
            hook.moveTo(5.6, 6.2);
            hook.cubicTo(5.6, 3.4, 10.6, 3.4, 10.4, 6.2);
            hook.cubicTo(10.3, 7.8, 8.0, 7.9, 8.0, 9.6);
            painter.drawPath(hook);
            painter.drawPoint(QPointF(8.0, 12.2));
            break;
        }
    }
}

// A transparent square of `pixels` on which `draw` paints in a 16 × 16 frame, filled with
// `colour` and no outline to begin with.
QPixmap drawnIcon(int pixels, const QColor& colour, const std::function<void(QPainter&)>& draw) {
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(pixels / 16.0, pixels / 16.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    draw(painter);
    return pixmap;
}

QPixmap verdictPixmap(Verdict verdict, int pixels) {
    return drawnIcon(pixels, verdictColour(verdict), [verdict](QPainter& painter) {
        painter.drawEllipse(QRectF(0.5, 0.5, 15.0, 15.0));
        paintGlyph(painter, verdict);
    });
}

QPixmap warningPixmap(int pixels) {
    return drawnIcon(pixels, verdictColour(Verdict::Expired), [](QPainter& painter) {
        painter.drawPolygon(QPolygonF({{8.0, 1.0}, {15.5, 14.5}, {0.5, 14.5}}));
        painter.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(8.0, 6.0), QPointF(8.0, 9.6));
        painter.drawPoint(QPointF(8.0, 12.3));
    });
}

}  // namespace

QIcon cookieWarningIcon() {
    QIcon icon;
    for (int pixels : {16, 32}) {
        icon.addPixmap(warningPixmap(pixels));
    }
    return icon;
}

QIcon verdictIcon(Verdict verdict) {
    QIcon icon;
    if (verdict != Verdict::Skipped) {
        // The list's size, and twice that for dense screens.
        for (int pixels : {16, 32}) {
            icon.addPixmap(verdictPixmap(verdict, pixels));
        }
    }
    return icon;
}

QString verdictToolTip(const AccountVerdict& verdict) {
    const QString caption = fromAnsi(verdictCaption(verdict.verdict));
    return verdict.reason.empty() ? caption
                                  : caption + QStringLiteral("：") + fromAnsi(verdict.reason);
}

AccountListModel::AccountListModel(QObject* parent) : QAbstractTableModel(parent) {}

const std::array<QString, kAccountColumns>& AccountListModel::titles() {
    static const std::array<QString, kAccountColumns> names = {
        QStringLiteral("序号"),     QStringLiteral("网站"),     QStringLiteral("请求类型"),
        QStringLiteral("响应类型"), QStringLiteral("账号状态"), QStringLiteral("返回内容")};
    return names;
}

const std::array<int, kAccountColumns>& AccountListModel::widths() {
    static const std::array<int, kAccountColumns> pixels = {50, 100, 70, 70, 70, 210};
    return pixels;
}

void AccountListModel::load(const SiteList& sites,
                            const std::function<bool(const SiteTemplate&)>& ready,
                            const std::function<QString(int cid)>& note) {
    static const QString kYes = QStringLiteral("√");
    static const QString kNo = QStringLiteral("×");
    // What the rows showed, by their template and account, for the rows listed again.
    std::map<std::pair<int, int>, std::pair<QString, std::optional<Shown>>> shown;
    for (std::size_t i = 0; i < rows_.size() && i < keys_.size(); ++i) {
        shown.emplace(keys_[i],
                      std::pair{rows_[i][static_cast<std::size_t>(kColumnResult)], verdicts_[i]});
    }
    beginResetModel();
    rows_.clear();
    keys_.clear();
    verdicts_.assign(sites.size(), std::nullopt);
    cookieWarnings_.assign(sites.size(), QString());
    ready_.assign(sites.size(), false);
    notes_.assign(sites.size(), QString());
    rows_.reserve(sites.size());
    for (std::size_t i = 0; i < sites.size(); ++i) {
        ready_[i] = ready(sites[i]);
        if (note && sites[i].Cid != 0) {
            notes_[i] = note(sites[i].Cid);
        }
        const auto texts = siteListRow(sites[i], i);
        Row row;
        for (int c = 0; c < kAccountColumns; ++c) {
            row[static_cast<std::size_t>(c)] = fromAnsi(texts[static_cast<std::size_t>(c)]);
        }
        row[static_cast<std::size_t>(kColumnAccount)] = ready_[i] ? kYes : kNo;
        std::pair key{sites[i].id, sites[i].Cid};
        if (const auto before = shown.find(key); before != shown.end()) {
            row[static_cast<std::size_t>(kColumnResult)] = before->second.first;
            verdicts_[i] = before->second.second;
        }
        rows_.push_back(std::move(row));
        keys_.push_back(key);
    }
    endResetModel();
}

void AccountListModel::clear() {
    beginResetModel();
    rows_.clear();
    keys_.clear();
    verdicts_.clear();
    cookieWarnings_.clear();
    ready_.clear();
    notes_.clear();
    endResetModel();
}

void AccountListModel::clearResults() {
    for (Row& row : rows_) {
        row[static_cast<std::size_t>(kColumnResult)].clear();
    }
    verdicts_.assign(rows_.size(), std::nullopt);
    if (!rows_.empty()) {
        emit dataChanged(index(0, kColumnResult),
                         index(static_cast<int>(rows_.size()) - 1, kColumnResult));
    }
}

void AccountListModel::clearResults(const std::vector<int>& rows) {
    for (const int row : rows) {
        if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
            continue;
        }
        rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(kColumnResult)].clear();
        verdicts_[static_cast<std::size_t>(row)].reset();
        const QModelIndex changed = index(row, kColumnResult);
        emit dataChanged(changed, changed);
    }
}

QString AccountListModel::note(int row) const {
    return row >= 0 && static_cast<std::size_t>(row) < notes_.size()
               ? notes_[static_cast<std::size_t>(row)]
               : QString();
}

bool AccountListModel::hasAccount(int row) const {
    return row >= 0 && static_cast<std::size_t>(row) < keys_.size() &&
           keys_[static_cast<std::size_t>(row)].second != 0;
}

bool AccountListModel::matches(int row, const QStringList& words) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return false;
    }
    const auto at = static_cast<std::size_t>(row);
    QStringList fields{cell(row, kColumnSite), notes_[at], cell(row, kColumnResult),
                       emptyResultText(row)};
    if (verdicts_[at]) {
        fields.append(verdicts_[at]->toolTip);  // the caption and the rule's reason
    }
    const QString haystack = fields.join(QChar(u'\n'));
    return std::all_of(words.begin(), words.end(), [&](const QString& word) {
        return haystack.contains(word, Qt::CaseInsensitive);
    });
}

bool AccountListModel::ready(int row) const {
    return row >= 0 && static_cast<std::size_t>(row) < ready_.size() &&
           ready_[static_cast<std::size_t>(row)];
}

QString AccountListModel::cell(int row, int column) const {
    if (row < 0 || column < 0 || column >= kAccountColumns ||
        static_cast<std::size_t>(row) >= rows_.size()) {
        return {};
    }
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

void AccountListModel::setCell(int row, int column, const QString& text) {
    if (row < 0 || column < 0 || column >= kAccountColumns ||
        static_cast<std::size_t>(row) >= rows_.size()) {
        return;
    }
    rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
    const QModelIndex changed = index(row, column);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

void AccountListModel::setVerdict(int row, const AccountVerdict& verdict) {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return;
    }
    verdicts_[static_cast<std::size_t>(row)] =
        Shown{verdict.verdict, verdictToolTip(verdict),
              verdict.needsAttention() ? fromAnsi(verdict.reason) : QString()};
    const QModelIndex changed = index(row, kColumnResult);
    emit dataChanged(
        changed, changed,
        {Qt::DisplayRole, Qt::ForegroundRole, Qt::DecorationRole, Qt::ToolTipRole, kVerdictRole});
}

void AccountListModel::setCookieWarning(int row, const QString& warning) {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size() ||
        cookieWarnings_[static_cast<std::size_t>(row)] == warning) {
        return;
    }
    cookieWarnings_[static_cast<std::size_t>(row)] = warning;
    const QModelIndex changed = index(row, kColumnAccount);
    emit dataChanged(changed, changed, {Qt::DecorationRole, Qt::ToolTipRole});
}

QString AccountListModel::emptyResultText(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= verdicts_.size() ||
        !verdicts_[static_cast<std::size_t>(row)] || !cell(row, kColumnResult).isEmpty()) {
        return {};
    }
    return verdicts_[static_cast<std::size_t>(row)]->emptyText;
}

int AccountListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int AccountListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kAccountColumns;
}

QVariant AccountListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    if (index.column() == kColumnResult &&
        (role == Qt::DecorationRole || role == Qt::ToolTipRole || role == kVerdictRole)) {
        const auto row = static_cast<std::size_t>(index.row());
        if (row < verdicts_.size() && verdicts_[row]) {
            const Shown& shown = *verdicts_[row];
            if (role == Qt::DecorationRole) {
                QIcon& icon = icons_[static_cast<std::size_t>(shown.verdict)];
                if (icon.isNull()) {
                    icon = verdictIcon(shown.verdict);
                }
                return icon;
            }
            if (role == Qt::ToolTipRole) {
                return shown.toolTip;
            }
            return static_cast<int>(shown.verdict);
        }
        if (role != Qt::ToolTipRole) {
            return {};
        }
    }
    if (index.column() == kColumnAccount &&
        (role == Qt::DecorationRole || role == Qt::ToolTipRole)) {
        const auto row = static_cast<std::size_t>(index.row());
        if (row < cookieWarnings_.size() && !cookieWarnings_[row].isEmpty()) {
            if (role == Qt::ToolTipRole) {
                return cookieWarnings_[row];
            }
            if (warningIcon_.isNull()) {
                warningIcon_ = cookieWarningIcon();
            }
            return warningIcon_;
        }
    }
    if (index.column() == kColumnResult &&
        (role == Qt::DisplayRole || role == Qt::ForegroundRole)) {
        if (const QString empty = emptyResultText(index.row()); !empty.isEmpty()) {
            if (role == Qt::DisplayRole) {
                return empty;
            }
            return QVariant::fromValue(QColor(0x9e, 0x9e, 0x9e));
        }
    }
    if (index.column() == kColumnSite) {
        const QString note = this->note(index.row());
        if (role == Qt::EditRole) {
            return note;
        }
        if (!note.isEmpty() && role == Qt::DisplayRole) {
            return cell(index.row(), kColumnSite) + QStringLiteral("（") + note +
                   QStringLiteral("）");
        }
        if (!note.isEmpty() && role == Qt::ToolTipRole) {
            return cell(index.row(), kColumnSite) + QStringLiteral("\n备注：") + note;
        }
    }
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        return cell(index.row(), index.column());
    }
    if (role == Qt::TextAlignmentRole && index.column() != 1 && index.column() != 5) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    if (role == Qt::ForegroundRole && index.column() == kColumnAccount) {
        const bool ready = cell(index.row(), index.column()) == QStringLiteral("√");
        return QVariant::fromValue(ready ? QColor(0x2e, 0x7d, 0x32) : QColor(0xc6, 0x28, 0x28));
    }
    return {};
}

QVariant AccountListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kAccountColumns) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return titles()[static_cast<std::size_t>(section)];
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    return {};
}

Qt::ItemFlags AccountListModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == kColumnSite && hasAccount(index.row())) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

bool AccountListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.column() != kColumnSite ||
        !hasAccount(index.row()) || !noteStore_) {
        return false;
    }
    const QString note = value.toString().simplified();
    const auto row = static_cast<std::size_t>(index.row());
    if (note == notes_[row]) {
        return true;
    }
    if (!noteStore_(keys_[row].second, note)) {
        return false;
    }
    notes_[row] = note;
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::ToolTipRole, Qt::EditRole});
    return true;
}

AccountFilter::AccountFilter(AccountListModel* list, QObject* parent)
    : QSortFilterProxyModel(parent), list_(list) {
    setSourceModel(list);
    setDynamicSortFilter(true);
}

void AccountFilter::setSearch(const QString& text) {
    if (text == search_) {
        return;
    }
    search_ = text;
    // Blanks of every kind part the words, the full-width one too.
    words_ = text.simplified().split(QChar(u' '), Qt::SkipEmptyParts);
    invalidateRowsFilter();
}

bool AccountFilter::filterAcceptsRow(int sourceRow, const QModelIndex& /*sourceParent*/) const {
    return words_.isEmpty() || list_->matches(sourceRow, words_);
}

}  // namespace vesprey::ui
