// The local pane's filter combo box: named filters, each a list of file patterns, that
// set the mask of the local file list when chosen.
#pragma once

#include <QComboBox>

#include <functional>
#include <string>

class TLocalFileList;

// A drop-down of filters bound to a file list. Each item shows a filter's display name
// and carries its pattern list as item data.
class TLocalFilterComboBox : public QComboBox {
public:
    // An empty drop-down bound to no list.
    explicit TLocalFilterComboBox(QWidget* parent = nullptr);

    // Replaces the filters with those of a filter string: display names and pattern
    // lists alternating, all separated by "|" (a name without patterns is dropped);
    // selects the first filter.
    void SetFilter(const QString& filter);
    // The filter string the filters came from.
    const QString& Filter() const { return FFilter; }

    // The pattern list of the chosen filter, 8-bit; "*.*" when none is chosen.
    std::string Mask() const;

    // The file list whose mask follows the chosen filter (not owned; null: none). The
    // list takes the current mask at once.
    void SetFileList(TLocalFileList* list);
    TLocalFileList* FileList() const { return FFileList; }

    // The user (or code) chose another filter; the file list has the new mask already.
    std::function<void()> OnChange;

private:
    void FilterChosen();

    QString FFilter;
    TLocalFileList* FFileList = nullptr;
    bool FFilling = false;
};
