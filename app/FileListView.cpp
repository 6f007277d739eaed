// Report and list styles over one model and one selection model.
#include "app/FileListView.h"

#include "app/FileListModel.h"
#include "app/FtpFileImageList.h"

#include <QFocusEvent>
#include <QHeaderView>
#include <QListView>
#include <QTreeView>

#include <algorithm>

TFileListView::TFileListView(TFileListModel* model, QWidget* parent)
    : QStackedWidget(parent), FModel(model)
{
    const QSize iconSize(TFtpFileImageList::Size(), TFtpFileImageList::Size());

    FReport = new QTreeView(this);
    FReport->setObjectName(QStringLiteral("ReportView"));
    FReport->setModel(model);
    // Uniform rows keep a list of 100,000 entries as quick as one of ten.
    FReport->setUniformRowHeights(true);
    FReport->setRootIsDecorated(false);
    FReport->setItemsExpandable(false);
    FReport->setAllColumnsShowFocus(true);
    FReport->setSortingEnabled(false);
    FReport->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FReport->setSelectionMode(QAbstractItemView::ExtendedSelection);
    FReport->setSelectionBehavior(QAbstractItemView::SelectRows);
    FReport->setIconSize(iconSize);
    FReport->setTextElideMode(Qt::ElideRight);
    QHeaderView* header = FReport->header();
    header->setSectionsClickable(true);
    header->setSectionsMovable(false);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setHighlightSections(false);
    for (size_t i = 0; i < model->Columns().size(); ++i)
        FReport->setColumnWidth(static_cast<int>(i), model->Columns()[i].Width);
    connect(header, &QHeaderView::sectionClicked, this, [this](int column) {
        if (OnColumnClick)
            OnColumnClick(column);
    });

    FList = new QListView(this);
    FList->setObjectName(QStringLiteral("ListView"));
    FList->setModel(model);
    FList->setModelColumn(0);
    FList->setViewMode(QListView::ListMode);
    FList->setFlow(QListView::TopToBottom);
    FList->setWrapping(true);
    FList->setResizeMode(QListView::Adjust);
    FList->setUniformItemSizes(true);
    FList->setLayoutMode(QListView::Batched);
    FList->setBatchSize(2000);
    FList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    FList->setSelectionBehavior(QAbstractItemView::SelectRows);
    FList->setIconSize(iconSize);
    FList->setTextElideMode(Qt::ElideRight);
    // One selection for both styles, so switching styles keeps what the user picked.
    QItemSelectionModel* own = FList->selectionModel();
    FList->setSelectionModel(FReport->selectionModel());
    delete own;

    addWidget(FReport);
    addWidget(FList);
    setCurrentWidget(FReport);

    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(FReport),
                                    static_cast<QAbstractItemView*>(FList)}) {
        view->installEventFilter(this);
        connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex&) {
            if (OnDblClick)
                OnDblClick();
        });
    }
    connect(SelectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (OnChange)
            OnChange();
    });
    setFocusProxy(FReport);
}

QItemSelectionModel* TFileListView::SelectionModel() const
{
    return FReport->selectionModel();
}

QWidget* TFileListView::ActiveView() const
{
    return FViewStyle == vsReport ? static_cast<QWidget*>(FReport) : FList;
}

void TFileListView::SetViewStyle(TViewStyle style)
{
    if (style == FViewStyle)
        return;
    bool hadFocus = ActiveView()->hasFocus();
    FViewStyle = style;
    setCurrentWidget(ActiveView());
    setFocusProxy(ActiveView());
    if (hadFocus)
        ActiveView()->setFocus();
    QModelIndex current = SelectionModel()->currentIndex();
    if (current.isValid())
        static_cast<QAbstractItemView*>(ActiveView())->scrollTo(current);
}

int TFileListView::ColumnWidth(int column) const
{
    return FReport->columnWidth(column);
}

int TFileListView::SelCount() const
{
    return static_cast<int>(SelectionModel()->selectedRows().size());
}

std::vector<int> TFileListView::SelectedRows() const
{
    const QModelIndexList rows = SelectionModel()->selectedRows();
    std::vector<int> result;
    result.reserve(static_cast<size_t>(rows.size()));
    for (const QModelIndex& index : rows)
        result.push_back(index.row());
    std::sort(result.begin(), result.end());
    return result;
}

bool TFileListView::IsSelected(int row) const
{
    return SelectionModel()->isRowSelected(row, {});
}

void TFileListView::SetSelected(int row, bool selected)
{
    QModelIndex index = FModel->index(row, 0);
    if (!index.isValid())
        return;
    SelectionModel()->select(index, (selected ? QItemSelectionModel::Select
                                              : QItemSelectionModel::Deselect)
                                        | QItemSelectionModel::Rows);
}

void TFileListView::ClearSelection()
{
    SelectionModel()->clearSelection();
}

int TFileListView::ItemIndex() const
{
    QModelIndex current = SelectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TFileListView::SetItemIndex(int row)
{
    SelectionModel()->setCurrentIndex(FModel->index(row, 0), QItemSelectionModel::NoUpdate);
}

bool TFileListView::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusIn && (watched == FReport || watched == FList)) {
        // Coming back to the window or closing a menu is no entering of the list.
        auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (OnEnter && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            OnEnter();
    }
    return QStackedWidget::eventFilter(watched, event);
}
