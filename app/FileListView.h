// A file list with the two styles of the View menu: report (columns) and list (icons and
// names flowing in columns), both showing one model with one shared selection.
#pragma once

#include <QStackedWidget>

#include <functional>
#include <vector>

class QItemSelectionModel;
class QListView;
class QTreeView;
class TFileListModel;

// How a file list shows its rows.
enum TViewStyle { vsReport, vsList };

// Read-only, multi-select file list. Events are plain callables; empty ones are skipped.
class TFileListView : public QStackedWidget {
public:
    // Shows model (not owned) with the columns it holds.
    explicit TFileListView(TFileListModel* model, QWidget* parent = nullptr);

    TFileListModel* Model() const { return FModel; }
    // The selection both styles share.
    QItemSelectionModel* SelectionModel() const;
    QTreeView* ReportView() const { return FReport; }
    QListView* ListView() const { return FList; }
    // The view of the current style.
    QWidget* ActiveView() const;

    TViewStyle ViewStyle() const { return FViewStyle; }
    // Switches the style; rows, selection and current row stay.
    void SetViewStyle(TViewStyle style);

    // Width of a report column in pixels.
    int ColumnWidth(int column) const;

    // Number of selected rows.
    int SelCount() const;
    // The selected rows in ascending order.
    std::vector<int> SelectedRows() const;
    // Whether row is selected.
    bool IsSelected(int row) const;
    // Selects or deselects one row, leaving the others.
    void SetSelected(int row, bool selected);
    // Deselects every row.
    void ClearSelection();
    // The current (focus) row, or -1.
    int ItemIndex() const;
    // Makes row current without changing the selection.
    void SetItemIndex(int row);

    std::function<void()> OnChange;              // the selection changed
    std::function<void()> OnDblClick;            // a row was double-clicked
    std::function<void(int column)> OnColumnClick; // a report header was clicked
    std::function<void()> OnEnter;               // the list received the focus

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TFileListModel* FModel;
    QTreeView* FReport;
    QListView* FList;
    TViewStyle FViewStyle = vsReport;
};
