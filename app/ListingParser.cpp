// Listing lines to remote rows, and the order of the remote list.
#include "app/ListingParser.h"

#include "app/ByteText.h"
#include "app/FtpFileImageList.h"

#include <QFile>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr const char* kParentCaption = "..";

// Sub-item positions of a remote row.
constexpr int kSubSize = 0;
constexpr int kSubType = 1;
constexpr int kSubAttributes = 2;
constexpr int kSubModified = 3;

bool IsUpperD(QChar c)
{
    return c == QLatin1Char('D') || c == QLatin1Char('d');
}

const QString& SubItem(const TFileListItem& item, int index)
{
    static const QString empty;
    return index < item.SubItems.size() ? item.SubItems[index] : empty;
}

// The sort comparison alone tests the type column ("Directory").
bool IsDirectoryByType(const TFileListItem& item)
{
    const QString& type = SubItem(item, kSubType);
    return !type.isEmpty() && IsUpperD(type[0]);
}

} // namespace

std::vector<std::string> SplitListingLines(std::string_view data)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t lf = data.find('\n', pos);
        std::size_t next = lf == std::string_view::npos ? data.size() : lf + 1;
        std::size_t end = lf == std::string_view::npos ? data.size() : lf;
        if (lf != std::string_view::npos && end > pos && data[end - 1] == '\r')
            --end;
        lines.emplace_back(data.substr(pos, end - pos));
        pos = next;
    }
    return lines;
}

std::vector<std::string> ReadListingFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    return SplitListingLines(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
}

TFileListItem ParentDirItem()
{
    TFileListItem item;
    item.Caption = QString::fromLatin1(kParentCaption);
    item.SubItems = {QStringLiteral("0"), QStringLiteral("Parent directory"),
                     QStringLiteral("dr-xr-xr-x")};
    item.ImageIndex = TFtpFileImageList::iiParentDir;
    return item;
}

QString RemoteTypeText(const QString& name, bool directory)
{
    if (directory)
        return QStringLiteral("Directory");
    qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return (dot < 0 ? QString() : name.mid(dot)) + QStringLiteral(" file");
}

TFileListItem RemoteItemFromEntry(const TListingEntry& entry)
{
    TRemoteRowBuilder builder;
    return builder.Build(entry);
}

TRemoteRowBuilder::TRemoteRowBuilder() : FDirectory(QStringLiteral("Directory")), FNow(std::time(nullptr)) {}

TFileListItem TRemoteRowBuilder::Build(const TListingEntry& entry)
{
    TFileListItem item;
    QString texts[3];
    item.ImageIndex = Parts(entry, item.Caption, texts);
    item.SubItems.reserve(4);
    item.SubItems.append(QString::fromLatin1(entry.Size.data(), static_cast<qsizetype>(entry.Size.size())));
    for (const QString& text : texts)
        item.SubItems.append(text);
    return item;
}

void TRemoteRowBuilder::Append(const TListingEntry& entry, TCompactFileRows& rows)
{
    QString texts[3];
    int image = Parts(entry, FCaption, texts);
    rows.Append(FCaption, entry.Size, texts, 3, image);
}

namespace {

// The caption of a name as TextFromBytes gives it; a name of plain ASCII (nearly all) is
// written into caption's own buffer, which a builder reuses row after row.
void SetCaption(QString& caption, std::string_view name)
{
    if (!std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        caption = TextFromBytes(name);
        return;
    }
    caption.resize(static_cast<qsizetype>(name.size()));
    QChar* out = caption.data();
    for (char c : name)
        *out++ = QChar(static_cast<char16_t>(c));
}

} // namespace

int TRemoteRowBuilder::Parts(const TListingEntry& entry, QString& caption, QString (&texts)[3])
{
    // A name in another encoding (say Latin-1 on a UTF-8 desktop) keeps its bytes in the
    // caption, so that the server gets back exactly the name it listed.
    SetCaption(caption, entry.Name);
    bool directory = !entry.Attributes.empty() && (entry.Attributes[0] == 'd' || entry.Attributes[0] == 'D');
    bool link = entry.Type == letLink;

    // Neighbouring rows mostly share their attributes: the last ones are looked at first.
    if (!FLastAttributes || entry.Attributes != FLastAttributes->first) {
        auto attributes = FAttributes.find(entry.Attributes);
        if (attributes == FAttributes.end())
            attributes = FAttributes
                             .emplace(entry.Attributes,
                                      QString::fromLatin1(entry.Attributes.data(),
                                                          static_cast<qsizetype>(entry.Attributes.size())))
                             .first;
        FLastAttributes = &*attributes;
    }
    QString& type = texts[0];
    if (directory) {
        type = FDirectory;
    } else if (link) {
        // Directory links sort among the directories (their type text starts with "D").
        const char* kind = entry.TargetKind == ltkDirectory ? "Directory link -> "
                           : entry.TargetKind == ltkFile    ? "File link -> "
                                                            : "Link -> ";
        type = QString::fromLatin1(kind) + TextFromBytes(entry.Target);
    } else {
        qsizetype dot = caption.lastIndexOf(QLatin1Char('.'));
        std::u16string_view extension;
        if (dot >= 0)
            extension = std::u16string_view(reinterpret_cast<const char16_t*>(caption.constData()) + dot,
                                             static_cast<std::size_t>(caption.size() - dot));
        auto known = FTypes.find(extension);
        if (known == FTypes.end())
            known = FTypes.emplace(std::u16string(extension), RemoteTypeText(caption, false)).first;
        type = known->second;
    }
    texts[1] = FLastAttributes->second;
    if (entry.Modified.Valid()) {
        // Many entries share a time, and working one out (the year of a date without one,
        // the local time of a UTC one) costs more than the rest of the row: one text per
        // minute serves them all.
        const TListTime& t = entry.Modified;
        std::uint64_t key = std::uint64_t(t.Year) * 13 + std::uint64_t(t.Month);
        key = key * 32 + std::uint64_t(t.Day);
        key = key * 25 + std::uint64_t(t.Hour + 1);
        key = key * 60 + std::uint64_t(t.Minute);
        key = key * 2 + (t.Utc ? 1u : 0u);
        auto known = FModified.find(key);
        if (known == FModified.end()) {
            std::string when = FormatListTime(entry.Modified, FNow, ' ');
            known = FModified.emplace(key, QString::fromLatin1(when.data(), static_cast<qsizetype>(when.size()))).first;
        }
        texts[2] = known->second;
    } else {
        texts[2] = QString();
    }
    bool folder = directory || (link && entry.TargetKind == ltkDirectory);
    return folder ? TFtpFileImageList::iiFolder : TFtpFileImageList::iiFile;
}

bool IsParentDirItem(const TFileListItem& item)
{
    return item.Caption == QLatin1String(kParentCaption);
}

bool IsRemoteDirectory(const TFileListItem& item)
{
    const QString& attributes = SubItem(item, kSubAttributes);
    return !attributes.isEmpty() && IsUpperD(attributes[0]);
}

bool IsRemoteLink(const TFileListItem& item)
{
    const QString& attributes = SubItem(item, kSubAttributes);
    return !attributes.isEmpty() && (attributes[0] == QLatin1Char('l') || attributes[0] == QLatin1Char('L'));
}

bool RemoteOpensAsFolder(const TFileListItem& item)
{
    if (IsRemoteDirectory(item))
        return true;
    return IsRemoteLink(item) && !SubItem(item, kSubType).startsWith(QLatin1String("File link"));
}

std::string RemoteItemName(const TFileListItem& item)
{
    return BytesFromText(item.Caption);
}

QString RemoteItemSize(const TFileListItem& item)
{
    return SubItem(item, kSubSize);
}

QString RemoteItemType(const TFileListItem& item)
{
    return SubItem(item, kSubType);
}

QString RemoteItemAttributes(const TFileListItem& item)
{
    return SubItem(item, kSubAttributes);
}

QString RemoteItemModified(const TFileListItem& item)
{
    return SubItem(item, kSubModified);
}

int CompareTextNoCase(const QString& a, const QString& b)
{
    const auto* pa = reinterpret_cast<const char16_t*>(a.utf16());
    const auto* pb = reinterpret_cast<const char16_t*>(b.utf16());
    qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        char16_t ca = pa[i];
        char16_t cb = pb[i];
        if (ca >= u'a' && ca <= u'z')
            ca = static_cast<char16_t>(ca - u'a' + u'A');
        if (cb >= u'a' && cb <= u'z')
            cb = static_cast<char16_t>(cb - u'a' + u'A');
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::int64_t RemoteSizeValue(const QString& text)
{
    // Sizes above 2 GiB are common today; they are compared as 64-bit numbers.
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
        int digit = c.unicode() - u'0';
        if (value > (kMax - digit) / 10)
            return kMax;
        value = value * 10 + digit;
    }
    return value;
}

int CompareRemoteItems(const TFileListItem& a, const TFileListItem& b, int column)
{
    bool parentA = IsParentDirItem(a);
    bool parentB = IsParentDirItem(b);
    // Two ".." rows (a server may list its own) are equal, so the order stays consistent.
    if (parentA || parentB)
        return parentA == parentB ? 0 : (parentA ? -1 : 1);
    bool dirA = IsDirectoryByType(a);
    bool dirB = IsDirectoryByType(b);
    if (dirA != dirB)
        return dirA ? -1 : 1;
    switch (column) {
    case rcName:
        return CompareTextNoCase(a.Caption, b.Caption);
    case rcSize: {
        std::int64_t sa = RemoteSizeValue(SubItem(a, kSubSize));
        std::int64_t sb = RemoteSizeValue(SubItem(b, kSubSize));
        return sa < sb ? -1 : (sa > sb ? 1 : 0);
    }
    case rcType:
    case rcAttributes:
    case rcModified:   // "YYYY-MM-DD HH:MM" sorts as text in time order
        return CompareTextNoCase(SubItem(a, column - 1), SubItem(b, column - 1));
    default:
        return 0;
    }
}

namespace {

// One row's sort key: its group (".." 0, directory 1, file 2), then either the size or the
// text, upper-cased into one shared buffer. The first eight characters are also packed into
// two numbers so that most comparisons never look at the buffer.
struct TSortKey {
    std::uint64_t High = 0;
    std::uint64_t Low = 0;
    std::uint32_t Offset = 0;   // the upper-cased text in the buffer
    std::uint32_t Length = 0;
    int Row = 0;
    std::uint8_t Group = 2;
};

void AddText(QStringView text, TSortKey& key, std::u16string& buffer)
{
    const auto* units = reinterpret_cast<const char16_t*>(text.utf16());
    const auto n = static_cast<std::size_t>(text.size());
    key.Offset = static_cast<std::uint32_t>(buffer.size());
    key.Length = static_cast<std::uint32_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        char16_t c = units[i];
        buffer.push_back(c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c);
    }
    // A missing character packs as 0, below every character, so a prefix comes first; a
    // real NUL ties with it and the whole text settles that.
    const char16_t* upper = buffer.data() + key.Offset;
    for (std::size_t i = 0; i < 8; ++i) {
        std::uint64_t& half = i < 4 ? key.High : key.Low;
        half = (half << 16) | (i < n ? upper[i] : 0u);
    }
}

// What the sort reads from list items.
struct TItemKeys {
    std::function<const TFileListItem&(int)> ItemAt;
    const TFileListItem* Current = nullptr;
    void Load(int row) { Current = &ItemAt(row); }
    bool IsParent() const { return IsParentDirItem(*Current); }
    bool IsDirectory() const { return IsDirectoryByType(*Current); }
    std::int64_t Size() const { return RemoteSizeValue(SubItem(*Current, kSubSize)); }
    QStringView Text(int column) const
    {
        return column == rcName ? QStringView(Current->Caption) : QStringView(SubItem(*Current, column - 1));
    }
};

// The same from compact rows, without making the rows.
struct TCompactKeys {
    const TCompactFileRows& Rows;
    int Row = 0;
    void Load(int row) { Row = row; }
    bool IsParent() const { return Rows.Caption(Row) == QLatin1String(kParentCaption); }
    bool IsDirectory() const
    {
        const QString& type = Rows.SharedSubItem(Row, kSubType);
        return !type.isEmpty() && IsUpperD(type[0]);
    }
    std::int64_t Size() const
    {
        std::int64_t size = Rows.SizeNumber(Row);
        return size >= 0 ? size : RemoteSizeValue(Rows.SubItem(Row, kSubSize));
    }
    QStringView Text(int column) const
    {
        return column == rcName ? Rows.Caption(Row) : QStringView(Rows.SharedSubItem(Row, column - 1));
    }
};

} // namespace

namespace {

// The key of the row source has loaded; text keys go into buffer.
template <class TKeys>
TSortKey MakeKey(TKeys& source, int row, int column, std::u16string& buffer)
{
    TSortKey key;
    key.Row = row;
    key.Group = source.IsParent() ? 0 : (source.IsDirectory() ? 1 : 2);
    if (key.Group == 0)
        return key;   // all ".." rows are equal
    if (column == rcSize)
        key.High = static_cast<std::uint64_t>(source.Size());
    else if (column == rcName || column == rcType || column == rcAttributes || column == rcModified)
        AddText(source.Text(column), key, buffer);
    return key;
}

// "a comes before b" for keys whose texts are in textA and textB: by group, then by key
// (reversed when descending), then by row, so that any sort of the keys gives what a
// stable sort gives.
bool KeyBefore(const TSortKey& a, const char16_t* textA, const TSortKey& b, const char16_t* textB, bool descending)
{
    if (a.Group != b.Group)
        return a.Group < b.Group;
    const TSortKey& x = descending ? b : a;
    const TSortKey& y = descending ? a : b;
    if (x.High != y.High)
        return x.High < y.High;
    if (x.Low != y.Low)
        return x.Low < y.Low;
    std::u16string_view tx((descending ? textB : textA) + x.Offset, x.Length);
    std::u16string_view ty((descending ? textA : textB) + y.Offset, y.Length);
    if (int c = tx.compare(ty); c != 0)   // upper-cased already: by code, a prefix first
        return c < 0;
    return a.Row < b.Row;
}

} // namespace

template <class TKeys>
std::vector<int> SortOrderOf(int count, TKeys& source, int column, bool descending,
                             const std::atomic<bool>* cancel = nullptr)
{
    std::vector<TSortKey> keys(static_cast<std::size_t>(count));
    std::u16string buffer;
    for (int row = 0; row < count; ++row) {
        source.Load(row);
        keys[static_cast<std::size_t>(row)] = MakeKey(source, row, column, buffer);
    }
    if (cancel && cancel->load(std::memory_order_relaxed))
        return {};
    const char16_t* text = buffer.data();
    // The keys themselves are sorted (not indexes into them): the merges then read them in
    // sequence.
    std::stable_sort(keys.begin(), keys.end(), [text, descending](const TSortKey& a, const TSortKey& b) {
        return KeyBefore(a, text, b, text, descending);
    });
    std::vector<int> order(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < keys.size(); ++i)
        order[i] = keys[i].Row;
    return order;
}

std::vector<int> RemoteSortOrder(const TFileListModel& model, int column, bool descending)
{
    if (const TCompactFileRows* rows = model.Compact())
        return RemoteSortOrder(*rows, column, descending);
    TItemKeys keys{[&model](int row) -> const TFileListItem& { return model.Item(row); }};
    return SortOrderOf(model.Count(), keys, column, descending);
}

std::vector<int> RemoteSortOrder(const std::vector<TFileListItem>& items, int column, bool descending)
{
    TItemKeys keys{[&items](int row) -> const TFileListItem& { return items[static_cast<std::size_t>(row)]; }};
    return SortOrderOf(static_cast<int>(items.size()), keys, column, descending);
}

std::vector<int> RemoteSortOrder(const TCompactFileRows& rows, int column, bool descending,
                                 const std::atomic<bool>* cancel)
{
    TCompactKeys keys{rows};
    return SortOrderOf(rows.Count(), keys, column, descending, cancel);
}

// Runs of sort keys, each sorted on the presort thread as soon as it is full.
struct TRemoteListingBuilder::TPresort {
    struct TRun {
        std::vector<TSortKey> Keys;
        std::u16string Text;
    };

    TPresort(int column, bool descending, std::size_t runRows, std::size_t mergeInTwo)
        : Column(column), Descending(descending), RunRows(std::max<std::size_t>(runRows, 1)), MergeInTwo(mergeInTwo)
    {
        Current.Keys.reserve(RunRows);
    }
    ~TPresort()
    {
        {
            std::lock_guard<std::mutex> lock(Lock);
            Stop = true;
        }
        Wake.notify_all();
        if (Sorter.joinable())
            Sorter.join();
    }

    void Sort(TRun& run) const
    {
        const char16_t* text = run.Text.data();
        const bool descending = Descending;
        std::sort(run.Keys.begin(), run.Keys.end(), [text, descending](const TSortKey& a, const TSortKey& b) {
            return KeyBefore(a, text, b, text, descending);
        });
    }
    void Add(const TCompactFileRows& rows, int row)
    {
        TCompactKeys keys{rows};
        keys.Load(row);
        Current.Keys.push_back(MakeKey(keys, row, Column, Current.Text));
        if (Current.Keys.size() < RunRows)
            return;
        {
            std::lock_guard<std::mutex> lock(Lock);
            Waiting.push_back(std::move(Current));
        }
        Wake.notify_one();
        Current = TRun{};
        Current.Keys.reserve(RunRows);
    }
    void SortWaiting()
    {
        std::unique_lock<std::mutex> lock(Lock);
        for (;;) {
            Wake.wait(lock, [this] { return Stop || Closed || !Waiting.empty(); });
            if (Stop || Waiting.empty())
                return;
            TRun run = std::move(Waiting.front());
            Waiting.pop_front();
            lock.unlock();
            Sort(run);
            lock.lock();
            Sorted.push_back(std::move(run));
        }
    }
    // Waits for the runs handed over, sorts the last one here and merges them all: the
    // rows in their order.
    std::vector<int> Merge()
    {
        {
            std::lock_guard<std::mutex> lock(Lock);
            Closed = true;
        }
        Wake.notify_all();
        Sort(Current);
        if (Sorter.joinable())
            Sorter.join();
        Sorted.push_back(std::move(Current));
        // The texts stay where they are from here on.
        std::vector<TCursor> cursors;
        std::size_t total = 0;
        for (const TRun& run : Sorted) {
            if (!run.Keys.empty())
                cursors.push_back({run.Keys.data(), run.Keys.data() + run.Keys.size(), run.Text.data()});
            total += run.Keys.size();
        }
        std::vector<int> order(total);
        if (total < MergeInTwo || cursors.size() < 2) {
            MergeCursors(std::move(cursors), order.data());
            return order;
        }
        // Two halves merged at once, split at a key near the middle: the median of keys
        // sampled evenly from all runs (each run gives at least one). Every key of the low
        // half comes before the pivot.
        std::vector<TCursor> samples;
        const std::size_t every = std::max<std::size_t>(total / kSamples, 1);
        for (const TCursor& c : cursors)
            for (std::size_t i = std::min(every / 2, static_cast<std::size_t>(c.End - c.At) - 1);
                 i < static_cast<std::size_t>(c.End - c.At); i += every)
                samples.push_back({c.At + i, c.At + i + 1, c.Text});
        auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
        std::nth_element(samples.begin(), middle, samples.end(), [this](const TCursor& a, const TCursor& b) {
            return KeyBefore(*a.At, a.Text, *b.At, b.Text, Descending);
        });
        const TCursor pivot = *middle;
        std::vector<TCursor> low, high;
        std::size_t lowCount = 0;
        for (const TCursor& c : cursors) {
            const TSortKey* split = std::partition_point(c.At, c.End, [&](const TSortKey& k) {
                return KeyBefore(k, c.Text, *pivot.At, pivot.Text, Descending);
            });
            if (split != c.At)
                low.push_back({c.At, split, c.Text});
            if (split != c.End)
                high.push_back({split, c.End, c.Text});
            lowCount += static_cast<std::size_t>(split - c.At);
        }
        std::thread lowHalf([this, &low, &order] { MergeCursors(std::move(low), order.data()); });
        MergeCursors(std::move(high), order.data() + lowCount);
        lowHalf.join();
        return order;
    }

    // A range of a sorted run and the texts of its keys.
    struct TCursor {
        const TSortKey* At;
        const TSortKey* End;
        const char16_t* Text;
    };
    static constexpr std::size_t kSamples = 1024;   // about this many keys looked at for the pivot

    // Merges the ranges through a heap of their next keys: their rows, in order, to out.
    void MergeCursors(std::vector<TCursor> heap, int* out) const
    {
        const bool descending = Descending;
        auto after = [descending](const TCursor& a, const TCursor& b) {
            return KeyBefore(*b.At, b.Text, *a.At, a.Text, descending);
        };
        std::make_heap(heap.begin(), heap.end(), after);
        while (!heap.empty()) {
            std::pop_heap(heap.begin(), heap.end(), after);
            TCursor& next = heap.back();
            *out++ = next.At->Row;
            if (++next.At == next.End)
                heap.pop_back();
            else
                std::push_heap(heap.begin(), heap.end(), after);
        }
    }

    const int Column;
    const bool Descending;
    const std::size_t RunRows;
    const std::size_t MergeInTwo;
    TRun Current;   // filled by the builder's thread only
    std::mutex Lock;
    std::condition_variable Wake;
    std::deque<TRun> Waiting;
    std::vector<TRun> Sorted;
    bool Closed = false;
    bool Stop = false;
    std::thread Sorter;
};

TRemoteListingBuilder::TRemoteListingBuilder(TListingSource source)
    : FSource(source), FRows(std::make_shared<TCompactFileRows>())
{
    FRows->Append(ParentDirItem());
}

TRemoteListingBuilder::~TRemoteListingBuilder() = default;

void TRemoteListingBuilder::Presort(int column, bool descending, std::size_t runRows, std::size_t mergeInTwo)
{
    FPresort = std::make_unique<TPresort>(column, descending, runRows, mergeInTwo);
    for (int row = 0; row < FRows->Count(); ++row)
        FPresort->Add(*FRows, row);
    TPresort* presort = FPresort.get();
    FPresort->Sorter = std::thread([presort] {
        // Gives way to the thread that makes the rows: it is the one that is waited for.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
        presort->SortWaiting();
    });
}

void TRemoteListingBuilder::Reserve(std::size_t lines, std::size_t nameUnits)
{
    FRows->Reserve(lines + 1, nameUnits);
}

void TRemoteListingBuilder::Add(std::string_view line)
{
    constexpr std::size_t kKeptInvalid = 101;
    TLineResult r = ParseListingLine(FSource, line, FEntry);
    if (r == lrInvalid) {
        ++FInvalidCount;
        if (FInvalid.size() == kKeptInvalid)
            FInvalid.pop_front();
        FInvalid.emplace_back(line);
        return;
    }
    if (r != lrEntry)
        return;
    // A link that may point at another entry gets its kind, and so its key, in Finish.
    const bool settledLater = FEntry.Type == letLink && FEntry.TargetKind == ltkUnknown && !FEntry.Target.empty();
    if (settledLater)
        FLinks.emplace_back(static_cast<std::size_t>(FRows->Count()), FEntry.Target);
    FBuilder.Append(FEntry, *FRows);
    if (FPresort && !settledLater)
        FPresort->Add(*FRows, FRows->Count() - 1);
}

TRemoteListing TRemoteListingBuilder::Finish(int column, bool descending, const std::atomic<bool>* cancel)
{
    TRemoteListing result;
    TCompactFileRows& rows = *FRows;
    if (!FLinks.empty()) {
        // A link to another entry of the same folder takes that entry's kind.
        QHash<QString, bool> kinds;
        for (int i = 1; i < rows.Count(); ++i) {
            const QString& attributes = rows.SharedSubItem(i, kSubAttributes);
            bool link = !attributes.isEmpty() && (attributes[0] == QLatin1Char('l') || attributes[0] == QLatin1Char('L'));
            if (!link)
                kinds.insert(rows.Caption(i).toString(), !attributes.isEmpty() && IsUpperD(attributes[0]));
        }
        for (auto& [row, target] : FLinks) {
            std::string_view t = target;
            if (t.size() > 2 && t.substr(0, 2) == "./")
                t.remove_prefix(2);
            auto found = kinds.constFind(TextFromBytes(t));
            if (found == kinds.constEnd())
                continue;
            const int at = static_cast<int>(row);
            TListEntry fixed;
            fixed.Name = BytesFromText(rows.Caption(at).toString());
            fixed.Type = letLink;
            fixed.Target = target;
            fixed.TargetKind = *found ? ltkDirectory : ltkFile;
            rows.SetSharedSubItem(at, kSubType, TRemoteRowBuilder().Build(fixed).SubItems[kSubType]);
            rows.SetImageIndex(at, *found ? TFtpFileImageList::iiFolder : TFtpFileImageList::iiFile);
        }
    }
    if (cancel && cancel->load(std::memory_order_relaxed))
        return result;
    std::vector<int> order;
    bool presorted = false;
    if (FPresort && FPresort->Column == column && FPresort->Descending == descending) {
        for (const auto& link : FLinks)
            FPresort->Add(rows, static_cast<int>(link.first));
        order = FPresort->Merge();
        presorted = order.size() == static_cast<std::size_t>(rows.Count());
    }
    FPresort.reset();
    if (!presorted)   // another order asked for meanwhile
        order = RemoteSortOrder(rows, column, descending, cancel);
    if (cancel && cancel->load(std::memory_order_relaxed))
        return result;
    rows.Permute(order);   // makes the rows' block to measure
    // Rows that came as they were sorted keep the names' spare room (less than half of the
    // block, left from its growth): squeezing it cost more than the merge, after the last
    // byte, for some megabytes.
    if (!presorted)
        rows.Squeeze();
    result.Rows = std::move(FRows);
    result.InvalidLines.assign(std::make_move_iterator(FInvalid.begin()), std::make_move_iterator(FInvalid.end()));
    result.InvalidCount = FInvalidCount;
    return result;
}

TRemoteListing BuildRemoteListing(const std::vector<std::string_view>& lines, TListingSource source, int column,
                                  bool descending, const std::atomic<bool>* cancel)
{
    TRemoteListingBuilder builder(source);
    std::size_t nameBytes = 0;
    for (std::string_view line : lines)
        nameBytes += std::min<std::size_t>(line.size(), 64);   // a guess: names are the short end of a line
    builder.Reserve(lines.size(), nameBytes / 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (cancel && (i & 0xFFF) == 0 && cancel->load(std::memory_order_relaxed))
            return {};
        builder.Add(lines[i]);
    }
    return builder.Finish(column, descending, cancel);
}
