// The transfer queue: items, batches, connections and the scheduler that hands items to
// idle connections. The work of one item on a connection is in TransferQueueWork.cpp.
#include "transfer/TransferQueue.h"

#include "transfer/LocalWalk.h"
#include "transfer/RemotePath.h"
#include "transfer/TransferConnection.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace transfer {

// ---- the queue's window and one connection ----

void TQueueWindow::WndProc(platform::TMessage& Msg)
{
    if (Msg.Msg == WM_QUEUE_SCHEDULE)
        FOwner->Schedule();
}

TConnection::TConnection() : Ftp(std::make_unique<TFtpClient>())
{
    char name[] = "/tmp/ombrex-queue-XXXXXX";
    if (const char* dir = std::getenv("TMPDIR"); dir && *dir) {
        std::string templ = std::string(dir) + "/ombrex-queue-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        int fd = ::mkstemp(buf.data());
        if (fd >= 0) {
            ::close(fd);
            ListingFile = buf.data();
            return;
        }
    }
    int fd = ::mkstemp(name);
    if (fd >= 0) {
        ::close(fd);
        ListingFile = name;
    }
}

TConnection::~TConnection()
{
    *Alive = false;
    Ftp->OnRequestDone = nullptr;
    Ftp->OnProgress = nullptr;
    if (!ListingFile.empty())
        ::unlink(ListingFile.c_str());
}

void TConnection::Run(const std::function<void(TFtpClient&)>& Start, std::function<void(std::uint16_t)> OnDone)
{
    Done = std::move(OnDone);
    RefusedText.clear();
    try {
        Start(*Ftp);
    } catch (const std::exception& E) {
        // The engine refused at once (not connected, not ready ...): the item fails with
        // the refusal, without a server reply behind it.
        RefusedText = E.what();
        auto done = std::move(Done);
        Done = nullptr;
        if (done)
            done(421);
    }
}

std::string TConnection::Reply() const
{
    if (!RefusedText.empty())
        return RefusedText;
    if (!Ftp->ErrorMessage().empty())
        return Ftp->ErrorMessage();
    return Ftp->LastReply();
}

// ---- names ----

const char* ItemStateName(TItemState State)
{
    switch (State) {
    case TItemState::Pending: return "Pending";
    case TItemState::Running: return "Running";
    case TItemState::Done: return "Done";
    case TItemState::Failed: return "Failed";
    case TItemState::Skipped: return "Skipped";
    }
    return "";
}

const char* DirectionName(TDirection Direction)
{
    switch (Direction) {
    case TDirection::Download: return "Download";
    case TDirection::Upload: return "Upload";
    case TDirection::Delete: return "Delete";
    }
    return "";
}

namespace {

// An absolute local path without "." and ".." (links are left alone: the containment check
// resolves them when the files are written).
std::string AbsoluteLocal(const std::string& Path)
{
    if (!Path.empty() && Path[0] == '/')
        return NormalizeRemote("/", Path);
    char buf[PATH_MAX];
    std::string cwd = ::getcwd(buf, sizeof buf) ? buf : "/";
    return NormalizeRemote(cwd, Path);
}

bool Finished(TItemState State)
{
    return State == TItemState::Done || State == TItemState::Failed || State == TItemState::Skipped;
}

} // namespace

// ---- the queue ----

TTransferQueue::TTransferQueue() : FWindow(std::make_unique<TQueueWindow>(this))
{
    DiskFull = [](const std::string& Path) {
        std::string dir = Path;
        struct statvfs vfs {};
        for (int i = 0; i < 64 && !dir.empty(); ++i) {
            if (::statvfs(dir.c_str(), &vfs) == 0)
                return std::uint64_t(vfs.f_bavail) * vfs.f_frsize < 64 * 1024;
            dir = RemoteParent(dir);
        }
        return false;
    };
}

TTransferQueue::~TTransferQueue()
{
    *FAlive = false;
    for (auto& c : FConnections) {
        c->Done = nullptr;
        c->Ftp->OnRequestDone = nullptr;
        c->Ftp->Abort();
    }
    FConnections.clear();
}

void TTransferQueue::SetMaxConnections(int Value)
{
    FMaxConnections = std::clamp(Value, 1, 10);
    PostSchedule();
}

std::uint64_t TTransferQueue::NewBatch(TBatchOptions Options)
{
    std::uint64_t id = FNextBatch++;
    TBatch& b = FBatches[id];
    b.Decision = Options.ExistsDecision;
    b.Options = std::move(Options);
    return id;
}

TTransferItem& TTransferQueue::NewItem(std::uint64_t Batch, TDirection Direction, TItemKind Kind)
{
    auto item = std::make_unique<TTransferItem>();
    item->Id = FNextId++;
    item->Batch = Batch;
    item->Direction = Direction;
    item->Kind = Kind;
    TTransferItem& ref = *item;
    FById[ref.Id] = &ref;
    FItems.push_back(std::move(item));
    FIdleReported = false;
    return ref;
}

TTransferItem* TTransferQueue::Get(std::uint64_t Id)
{
    auto it = FById.find(Id);
    return it == FById.end() ? nullptr : it->second;
}

const TTransferItem* TTransferQueue::Find(std::uint64_t Id) const
{
    auto it = FById.find(Id);
    return it == FById.end() ? nullptr : it->second;
}

std::vector<const TTransferItem*> TTransferQueue::Items() const
{
    std::vector<const TTransferItem*> out;
    out.reserve(FItems.size());
    for (const auto& i : FItems)
        out.push_back(i.get());
    return out;
}

std::uint64_t TTransferQueue::AddDownloadTree(const std::string& RemoteDir, const std::string& LocalDir,
                                              TBatchOptions Options)
{
    std::uint64_t batch = NewBatch(std::move(Options));
    TTransferItem& root = NewItem(batch, TDirection::Download, TItemKind::Folder);
    root.Remote = RemoteDir;
    root.Local = AbsoluteLocal(LocalDir);
    FBatches[batch].LocalRoot = root.Local;
    FBatches[batch].RemoteRoot = RemoteDir;
    Changed(root);
    PostSchedule();
    return batch;
}

std::uint64_t TTransferQueue::AddUploadTree(const std::string& LocalDir, const std::string& RemoteDir,
                                            TBatchOptions Options)
{
    std::uint64_t batch = NewBatch(std::move(Options));
    TBatch& b = FBatches[batch];
    std::string local = AbsoluteLocal(LocalDir);
    TTransferItem& root = NewItem(batch, TDirection::Upload, TItemKind::Folder);
    root.Local = local;
    root.Remote = RemoteDir;
    b.LocalRoot = local;
    b.RemoteRoot = RemoteDir;
    Changed(root);
    // Each entry waits for the folder that holds it; the walk lists parents first.
    std::map<std::string, std::uint64_t> folders{{"", root.Id}};
    for (const TLocalEntry& e : WalkLocalTree(local)) {
        std::string parentRel = e.Relative.find('/') == std::string::npos ? "" : e.Relative.substr(0, e.Relative.rfind('/'));
        TTransferItem& item = NewItem(batch, TDirection::Upload, e.Folder ? TItemKind::Folder : TItemKind::File);
        item.Local = local + "/" + e.Relative;
        item.Remote = JoinRemote(RemoteDir, e.Relative);
        item.Size = e.Folder ? -1 : e.Size;
        item.Parent = folders.count(parentRel) ? folders[parentRel] : root.Id;
        item.Binary = b.Options.IsBinary ? b.Options.IsBinary(BaseName(e.Relative)) : true;
        item.Resume = b.Options.Resume;
        if (e.Folder)
            folders[e.Relative] = item.Id;
        if (!e.Problem.empty()) {
            item.State = TItemState::Skipped;
            item.Reply = e.Problem;
        }
        Changed(item);
    }
    PostSchedule();
    return batch;
}

std::uint64_t TTransferQueue::AddDeleteTree(const std::string& RemoteDir, bool Hold)
{
    std::uint64_t batch = NewBatch({});
    FBatches[batch].Hold = Hold;
    TTransferItem& root = NewItem(batch, TDirection::Delete, TItemKind::Folder);
    root.Remote = RemoteDir;
    FBatches[batch].RemoteRoot = RemoteDir;
    Changed(root);
    PostSchedule();
    return batch;
}

std::uint64_t TTransferQueue::AddDownloadFile(const std::string& Remote, const std::string& Local, std::int64_t Size,
                                              TBatchOptions Options)
{
    std::uint64_t batch = NewBatch(std::move(Options));
    TBatch& b = FBatches[batch];
    TTransferItem& item = NewItem(batch, TDirection::Download, TItemKind::File);
    item.Remote = Remote;
    item.Local = AbsoluteLocal(Local);
    item.Size = Size;
    item.Binary = b.Options.IsBinary ? b.Options.IsBinary(BaseName(Remote)) : true;
    item.Resume = b.Options.Resume;
    Changed(item);
    PostSchedule();
    return batch;
}

std::uint64_t TTransferQueue::AddUploadFile(const std::string& Local, const std::string& Remote, TBatchOptions Options)
{
    std::uint64_t batch = NewBatch(std::move(Options));
    TBatch& b = FBatches[batch];
    TTransferItem& item = NewItem(batch, TDirection::Upload, TItemKind::File);
    item.Local = AbsoluteLocal(Local);
    item.Remote = Remote;
    struct stat st {};
    item.Size = ::stat(item.Local.c_str(), &st) == 0 ? st.st_size : -1;
    item.Binary = b.Options.IsBinary ? b.Options.IsBinary(BaseName(Local)) : true;
    item.Resume = b.Options.Resume;
    Changed(item);
    PostSchedule();
    return batch;
}

std::uint64_t TTransferQueue::AddDeleteFile(const std::string& Remote)
{
    std::uint64_t batch = NewBatch({});
    TTransferItem& item = NewItem(batch, TDirection::Delete, TItemKind::File);
    item.Remote = Remote;
    Changed(item);
    PostSchedule();
    return batch;
}

void TTransferQueue::Restore(const TTransferItem& Saved)
{
    // A saved item comes back on its own: its folder (if any) was finished or is saved too,
    // and a saved folder is walked again.
    std::uint64_t batch = NewBatch({});
    TTransferItem& item = NewItem(batch, Saved.Direction, Saved.Kind);
    item.Local = Saved.Local;
    item.Remote = Saved.Remote;
    item.Size = Saved.Size;
    item.Binary = Saved.Binary;
    item.Resume = Saved.Resume;
    if (Saved.Direction == TDirection::Download && Saved.Kind != TItemKind::File)
        FBatches[batch].LocalRoot = item.Local;
    else if (Saved.Direction == TDirection::Download)
        FBatches[batch].LocalRoot = RemoteParent(item.Local);
    Changed(item);
    PostSchedule();
}

void TTransferQueue::Changed(TTransferItem& Item)
{
    if (OnItemChanged)
        OnItemChanged(Item);
}

void TTransferQueue::SetState(TTransferItem& Item, TItemState State, const std::string& Reply)
{
    bool wasFinished = Finished(Item.State);
    Item.State = State;
    Item.Reply = Reply;
    if (Finished(State) && !wasFinished)
        FinishChild(Item);
    Changed(Item);
}

void TTransferQueue::FinishChild(TTransferItem& Item)
{
    // A folder of a delete is removed once everything below it has finished.
    if (Item.Direction != TDirection::Delete || Item.Parent == 0)
        return;
    if (TTransferItem* parent = Get(Item.Parent); parent && parent->OpenChildren > 0)
        --parent->OpenChildren;
}

void TTransferQueue::Log(const std::string& Line)
{
    if (OnLog)
        OnLog(Line);
}

void TTransferQueue::PostSchedule()
{
    if (FSchedulePosted)
        return;
    FSchedulePosted = true;
    FWindow->PostMessage(WM_QUEUE_SCHEDULE);
}

void TTransferQueue::Start()
{
    FStarted = true;
    FStopped = false;
    FStopReason.clear();
    FLoginFailures = 0;
    FAllowed = 10;
    if (FConnections.empty())
        FMeter.Reset(platform::GetTickCount64());
    PostSchedule();
}

void TTransferQueue::Stop()
{
    StopWith("");
}

void TTransferQueue::StopWith(const std::string& Reason)
{
    FStopped = true;
    FStopReason = Reason;
    if (!Reason.empty())
        Log(Reason);
    for (auto& c : FConnections) {
        c->Done = nullptr;
        if (TTransferItem* item = Get(c->Item)) {
            FDoneBytes -= item->Transferred;
            item->Transferred = 0;
            SetState(*item, TItemState::Pending);
        }
        c->Item = 0;
        if (c->Status != TConnection::csClosed) {
            c->Ftp->OnRequestDone = nullptr;
            c->Ftp->Abort();
            c->Status = TConnection::csClosed;
        }
    }
    PostSchedule();   // drops the closed connections
    if (!FIdleReported) {
        FIdleReported = true;
        if (OnIdle)
            OnIdle();
    }
}

int TTransferQueue::ConnectionCount() const
{
    int n = 0;
    for (const auto& c : FConnections)
        if (c->Status == TConnection::csReady || c->Status == TConnection::csBusy)
            ++n;
    return n;
}

bool TTransferQueue::Eligible(const TTransferItem& Item) const
{
    if (Item.State != TItemState::Pending)
        return false;
    if (Item.Direction == TDirection::Delete && (Item.Kind == TItemKind::File || Item.Phase == 1)) {
        auto b = FBatches.find(Item.Batch);
        if (b != FBatches.end() && b->second.Hold)
            return false;   // walked, not yet confirmed
    }
    if (Item.Direction == TDirection::Delete && Item.Kind == TItemKind::Folder && Item.Phase == 1)
        return Item.OpenChildren == 0;
    // Uploads know their whole tree at once: an entry waits for its folder's MKD. Downloads
    // and deletes only learn of an entry from its folder's listing.
    if (Item.Parent != 0 && Item.Direction == TDirection::Upload) {
        const TTransferItem* parent = Find(Item.Parent);
        if (parent && (parent->State == TItemState::Pending || parent->State == TItemState::Running))
            return false;
    }
    return true;
}

TTransferItem* TTransferQueue::NextItem()
{
    // Folders first: each listing or new folder feeds the other connections with files.
    TTransferItem* file = nullptr;
    for (auto& i : FItems) {
        if (!Eligible(*i))
            continue;
        if (i->Kind != TItemKind::File)
            return i.get();
        if (!file)
            file = i.get();
    }
    return file;
}

void TTransferQueue::Schedule()
{
    FSchedulePosted = false;
    if (FInSchedule || FAsking) {
        // A question is open (its nested loop brought us here): the queue waits for it and
        // schedules again once it has been answered.
        FScheduleAgain = true;
        return;
    }
    // Connections that ended are dropped here, never inside their own events.
    FConnections.erase(std::remove_if(FConnections.begin(), FConnections.end(),
                                      [](const auto& c) { return c->Status == TConnection::csClosed && !c->Done; }),
                       FConnections.end());
    if (!FStarted || FStopped)
        return;
    FInSchedule = true;
    auto alive = FAlive;
    for (std::size_t i = 0; i < FConnections.size() && !FStopped; ++i) {
        TConnection* c = FConnections[i].get();
        if (c->Status != TConnection::csReady)
            continue;
        TTransferItem* item = NextItem();
        if (!item)
            break;
        Dispatch(c, *item);
        if (!*alive)
            return;
    }
    FInSchedule = false;
    if (FScheduleAgain) {
        FScheduleAgain = false;
        PostSchedule();
    }
    if (FStopped)
        return;
    int eligible = 0;
    for (auto& i : FItems)
        if (Eligible(*i) && ++eligible >= 10)
            break;
    int connecting = 0, usable = 0;
    for (auto& c : FConnections) {
        if (c->Status == TConnection::csConnecting)
            ++connecting;
        if (c->Status != TConnection::csClosed)
            ++usable;
    }
    int limit = std::min(FMaxConnections, FAllowed);
    int wanted = std::min(limit - usable, eligible - connecting);
    if (wanted > 0)
        OpenConnections(wanted);
    CheckIdle();
}

void TTransferQueue::OpenConnections(int Wanted)
{
    for (int n = 0; n < Wanted; ++n) {
        auto conn = std::make_unique<TConnection>();
        TConnection* c = conn.get();
        int number = 1;
        for (bool taken = true; taken; ++number) {
            taken = false;
            for (auto& o : FConnections)
                taken = taken || o->Number == number;
            if (!taken)
                break;
        }
        c->Number = number;
        FConnections.push_back(std::move(conn));
        c->Ftp->SetTimeout(0);
        if (FConfigure)
            FConfigure(*c->Ftp);
        std::weak_ptr<bool> connAlive = c->Alive;
        c->Ftp->OnRequestDone = [c, connAlive](TCustomFtpCli*, TFtpRequest, std::uint16_t Error) {
            if (connAlive.expired())
                return;
            auto done = std::move(c->Done);
            c->Done = nullptr;
            if (done)
                done(Error);
        };
        c->Ftp->OnProgress = [this, c](TCustomFtpCli*, std::int64_t Count, bool&) {
            if (TTransferItem* item = Get(c->Item))
                Progressed(*item, Count);
        };
        c->Status = TConnection::csConnecting;
        Log("Connection " + std::to_string(c->Number) + ": logging in");
        c->Run([](TFtpClient& f) { f.Connect(); },
               [this, c](std::uint16_t Error) {
                   if (Error != 0) {
                       ConnectionFailed(c, Error, c->Reply());
                       return;
                   }
                   c->Run([](TFtpClient& f) { f.Pwd(); },
                          [this, c](std::uint16_t Error) {
                              c->Home = Error == 0 && !c->Ftp->ReplyDirectory().empty() ? c->Ftp->ReplyDirectory() : "/";
                              ConnectionReady(c);
                          });
               });
    }
}

void TTransferQueue::ConnectionReady(TConnection* Conn)
{
    Conn->Status = TConnection::csReady;
    FLoginFailures = 0;
    FPeakConnections = std::max(FPeakConnections, ConnectionCount());
    PostSchedule();
}

void TTransferQueue::ConnectionFailed(TConnection* Conn, int Code, const std::string& Reply)
{
    Conn->Status = TConnection::csClosed;
    if (Conn->Ftp->Connected())
        Conn->Ftp->Abort();
    int live = 0, connecting = 0;
    for (auto& c : FConnections) {
        if (c.get() == Conn)
            continue;
        if (c->Status == TConnection::csReady || c->Status == TConnection::csBusy)
            ++live;
        else if (c->Status == TConnection::csConnecting)
            ++connecting;
    }
    ++FLoginFailures;
    if (live + connecting > 0) {
        // The server takes no more logins ("421 Too many connections"): the queue goes on
        // with the connections it has; no item fails for it.
        FAllowed = std::max(1, live + connecting);
        Log("Connection " + std::to_string(Conn->Number) + " refused (" + Reply + "); going on with "
            + std::to_string(FAllowed) + " connection" + (FAllowed == 1 ? "" : "s"));
        PostSchedule();
        return;
    }
    if (FLoginFailures < 3 && (Code == 421 || Code == 10061 || Code == 10054 || Code == 500)
        && FPeakConnections > 0) {
        // Every connection is gone but the server took logins before: try again.
        PostSchedule();
        return;
    }
    StopWith("Login failed: " + Reply);
}

void TTransferQueue::Dispatch(TConnection* Conn, TTransferItem& Item)
{
    Conn->Status = TConnection::csBusy;
    Conn->Item = Item.Id;
    if (!Item.Remote.empty() && Item.Remote[0] != '/')
        Item.Remote = JoinRemote(Conn->Home, Item.Remote);
    SetState(Item, TItemState::Running);
    if (Item.Kind != TItemKind::File) {
        StartFolder(Conn, Item);
        return;
    }
    switch (Item.Direction) {
    case TDirection::Download: StartDownload(Conn, Item); break;
    case TDirection::Upload: StartUpload(Conn, Item); break;
    case TDirection::Delete: StartDelete(Conn, Item); break;
    }
}

void TTransferQueue::ItemFinished(TConnection* Conn, TTransferItem& Item, bool Ok, const std::string& Reply)
{
    if (Conn && Conn->Item == Item.Id) {
        Conn->Item = 0;
        Conn->Status = Conn->Up() ? TConnection::csReady : TConnection::csClosed;
        if (Conn->Status == TConnection::csClosed)
            Log("Connection " + std::to_string(Conn->Number) + " lost: " + Reply);
    }
    if (Item.State == TItemState::Running)
        SetState(Item, Ok ? TItemState::Done : TItemState::Failed, Ok ? "" : Reply);
    if (!Ok)
        Log(std::string(DirectionName(Item.Direction)) + " of " + Item.Remote + " failed: " + Reply);
    if (OnProgress)
        OnProgress();
    PostSchedule();
}

void TTransferQueue::Progressed(TTransferItem& Item, std::int64_t Count)
{
    std::int64_t delta = Count - Item.Transferred;
    Item.Transferred = Count;
    FDoneBytes += delta;
    std::uint64_t now = platform::GetTickCount64();
    FMeter.Add(delta, now);
    if (now - FLastProgress >= 100) {
        FLastProgress = now;
        if (OnProgress)
            OnProgress();
    }
}

void TTransferQueue::CheckHeldBatches()
{
    for (auto& [id, batch] : FBatches) {
        if (!batch.Hold)
            continue;
        int files = 0, folders = 0, failed = 0;
        bool walking = false, any = false;
        for (auto& i : FItems) {
            if (i->Batch != id)
                continue;
            any = true;
            if (i->Kind != TItemKind::File && i->Phase == 0 && !Finished(i->State))
                walking = true;
            if (i->State == TItemState::Failed)
                ++failed;
            else if (i->Kind == TItemKind::File)
                ++files;
            else
                ++folders;
        }
        if (!any || walking || batch.Decision == -2)
            continue;
        batch.Decision = -2;   // reported once
        if (OnBatchWalked)
            OnBatchWalked(id, files, folders, failed);
        return;   // the handler may have changed the batches
    }
}

void TTransferQueue::ReleaseBatch(std::uint64_t Batch)
{
    auto b = FBatches.find(Batch);
    if (b == FBatches.end())
        return;
    b->second.Hold = false;
    FIdleReported = false;
    PostSchedule();
}

void TTransferQueue::RemoveBatch(std::uint64_t Batch)
{
    std::vector<std::uint64_t> ids;
    for (auto& i : FItems)
        if (i->Batch == Batch && i->State != TItemState::Running)
            ids.push_back(i->Id);
    FItems.erase(std::remove_if(FItems.begin(), FItems.end(),
                                [&](const auto& i) { return i->Batch == Batch && i->State != TItemState::Running; }),
                 FItems.end());
    for (auto id : ids)
        FById.erase(id);
    PostSchedule();
}

bool TTransferQueue::BatchActive(std::uint64_t Batch) const
{
    for (const auto& i : FItems)
        if (i->Batch == Batch && !Finished(i->State))
            return true;
    return false;
}

void TTransferQueue::CheckIdle()
{
    if (!FStopped) {
        auto alive = FAlive;
        CheckHeldBatches();
        if (!*alive)
            return;
    }
    if (FIdleReported || FStopped)
        return;
    bool open = false;
    for (auto& i : FItems) {
        if (i->State == TItemState::Running || Eligible(*i)) {
            open = true;
            break;
        }
    }
    if (open)
        return;
    // Items that wait for something that will never come (a removed folder) would hold the
    // queue forever.
    for (auto& i : FItems) {
        auto b = FBatches.find(i->Batch);
        if (i->State == TItemState::Pending && !(b != FBatches.end() && b->second.Hold))
            SetState(*i, TItemState::Failed, "The folder it belongs to was not walked");
    }
    FIdleReported = true;
    // The logins are given back; a new batch logs in again.
    for (auto& owned : FConnections) {
        TConnection* c = owned.get();
        if (c->Status == TConnection::csReady) {
            c->Status = TConnection::csBusy;
            c->Run([](TFtpClient& f) { f.Quit(); },
                   [this, c](std::uint16_t) {
                       c->Status = TConnection::csClosed;
                       PostSchedule();
                   });
        }
    }
    PostSchedule();
    if (OnIdle)
        OnIdle();
}

bool TTransferQueue::Idle() const
{
    for (const auto& i : FItems)
        if (i->State == TItemState::Pending || i->State == TItemState::Running)
            return false;
    return true;
}

bool TTransferQueue::Remove(std::uint64_t Id)
{
    TTransferItem* item = Get(Id);
    if (!item || item->State == TItemState::Running)
        return false;
    // The item and everything that waits for it, directly or below.
    std::set<std::uint64_t> gone{Id};
    for (bool grew = true; grew;) {
        grew = false;
        for (auto& i : FItems)
            if (!gone.count(i->Id) && gone.count(i->Parent) && i->State != TItemState::Running)
                grew = gone.insert(i->Id).second || grew;
    }
    for (std::uint64_t g : gone) {
        TTransferItem* i = Get(g);
        if (!Finished(i->State))
            FinishChild(*i);
    }
    FItems.erase(std::remove_if(FItems.begin(), FItems.end(), [&](const auto& i) { return gone.count(i->Id) != 0; }),
                 FItems.end());
    for (std::uint64_t g : gone)
        FById.erase(g);
    PostSchedule();
    return true;
}

void TTransferQueue::ReleaseConnection(TConnection* Conn, TTransferItem* Skipped, const std::string& Reason)
{
    Conn->Status = TConnection::csReady;
    Conn->Item = 0;
    if (Skipped)
        SetState(*Skipped, TItemState::Skipped, Reason);
    PostSchedule();
}

void TTransferQueue::RemoveFinished()
{
    // One pass: a queue of many thousand finished items is cleared without a scan per item.
    auto finished = [](const auto& p) { return p->State == TItemState::Done || p->State == TItemState::Skipped; };
    for (auto& i : FItems)
        if (finished(i))
            FById.erase(i->Id);
    FItems.erase(std::remove_if(FItems.begin(), FItems.end(), finished), FItems.end());
}

bool TTransferQueue::Retry(std::uint64_t Id, bool Resume)
{
    TTransferItem* item = Get(Id);
    if (!item || item->State != TItemState::Failed)
        return false;
    FDoneBytes -= item->Transferred;
    item->Transferred = 0;
    item->Resume = item->Resume || Resume;
    if (item->Direction == TDirection::Delete && item->Parent != 0)
        if (TTransferItem* parent = Get(item->Parent))
            ++parent->OpenChildren;
    item->State = TItemState::Pending;
    item->Reply.clear();
    FIdleReported = false;
    Changed(*item);
    PostSchedule();
    return true;
}

void TTransferQueue::RetryFailed(bool Resume)
{
    std::vector<std::uint64_t> ids;
    for (auto& i : FItems)
        if (i->State == TItemState::Failed && IsPlainName(BaseName(i->Remote)))
            ids.push_back(i->Id);
    for (auto id : ids)
        Retry(id, Resume);
}

std::vector<TTransferItem> TTransferQueue::Unfinished() const
{
    std::vector<TTransferItem> out;
    for (const auto& i : FItems)
        if (!Finished(i->State) || i->State == TItemState::Failed)
            out.push_back(*i);
    return out;
}

TQueueProgress TTransferQueue::Progress() const
{
    TQueueProgress p;
    for (const auto& i : FItems) {
        if (i->Kind != TItemKind::File || i->Direction == TDirection::Delete)
            continue;
        ++p.Files;
        switch (i->State) {
        case TItemState::Done: ++p.FilesDone; break;
        case TItemState::Failed: ++p.Failed; break;
        case TItemState::Pending: ++p.Pending; break;
        case TItemState::Running: ++p.Running; break;
        case TItemState::Skipped: continue;
        }
        p.TotalBytes += std::max(i->Size, i->Transferred);
        p.DoneBytes += i->State == TItemState::Done ? std::max(i->Size, i->Transferred) : i->Transferred;
    }
    p.Speed = FMeter.Speed();
    p.SecondsLeft = FMeter.SecondsLeft(p.TotalBytes - p.DoneBytes);
    return p;
}

} // namespace transfer
