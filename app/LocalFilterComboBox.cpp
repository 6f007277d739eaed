// Filters of the local pane and their hand-over to the local file list.
#include "app/LocalFilterComboBox.h"

#include "app/LocalFileList.h"

TLocalFilterComboBox::TLocalFilterComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(false);
    connect(this, &QComboBox::currentIndexChanged, this, [this] { FilterChosen(); });
}

void TLocalFilterComboBox::SetFilter(const QString& filter)
{
    FFilter = filter;
    const QStringList parts = filter.split(QLatin1Char('|'));
    {
        // Refilling is no choice of the user: the mask is handed over once at the end.
        FFilling = true;
        clear();
        for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
            addItem(parts[i], parts[i + 1]);
        FFilling = false;
    }
    setCurrentIndex(count() > 0 ? 0 : -1);
    if (FFileList)
        FFileList->SetMask(Mask());
}

std::string TLocalFilterComboBox::Mask() const
{
    if (currentIndex() < 0)
        return "*.*";
    return currentData().toString().toLocal8Bit().toStdString();
}

void TLocalFilterComboBox::SetFileList(TLocalFileList* list)
{
    FFileList = list;
    if (FFileList)
        FFileList->SetMask(Mask());
}

void TLocalFilterComboBox::FilterChosen()
{
    if (FFilling)
        return;
    if (FFileList)
        FFileList->SetMask(Mask());
    if (OnChange)
        OnChange();
}
