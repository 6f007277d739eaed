// The work of one queue item on one connection: folder walks, downloads with their size
// check, uploads that resume (REST + STOR, or APPE), deletes.
#include "transfer/TransferQueue.h"

#include "transfer/RemoteListing.h"
#include "transfer/RemotePath.h"
#include "transfer/TransferConnection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace transfer {

namespace {

std::string ReadWhole(const std::string& Path)
{
    std::string data;
    int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buf, std::size_t(n));
    }
    ::close(fd);
    return data;
}

// A name for the log and the list that shows every byte (a refused name may hold
// line ends or NUL).
std::string Printable(const std::string& Name)
{
    std::string out;
    for (unsigned char c : Name) {
        if (c < 0x20 || c == 0x7f) {
            static const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

// Runs SendType first when the session's type differs from the file's.
void WithType(TConnection* Conn, bool Binary, std::function<void(std::uint16_t)> Next)
{
    if (Conn->TypeBinary == int(Binary)) {
        Next(0);
        return;
    }
    Conn->Run(
        [Binary](TFtpClient& f) {
            f.SetBinary(Binary);
            f.SendType();
        },
        [Conn, Binary, Next](std::uint16_t Error) {
            if (Error == 0)
                Conn->TypeBinary = int(Binary);
            Next(Error);
        });
}

} // namespace

bool TTransferQueue::LocalTargetAllowed(const TTransferItem& Item, std::string& Why) const
{
    auto b = FBatches.find(Item.Batch);
    if (b == FBatches.end() || b->second.LocalRoot.empty())
        return true;
    if (!LocalInside(b->second.LocalRoot, Item.Local)) {
        Why = "Refused: " + Item.Local + " lies outside the destination folder (symbolic link)";
        return false;
    }
    return true;
}

int TTransferQueue::ExistsAnswer(TTransferItem& Item)
{
    TBatch& b = FBatches[Item.Batch];
    if (Item.Resume)
        return ecRestore;
    if (b.Decision >= 10)
        return b.Decision;
    if (!OnExists)
        return ecRewrite;
    std::string newName;
    FAsking = true;
    auto alive = FAlive;
    std::uint64_t id = Item.Id;
    int choice = OnExists(Item, newName);
    if (!*alive)
        return ecSkip;
    FAsking = false;
    if (FScheduleAgain && !FInSchedule) {
        FScheduleAgain = false;
        PostSchedule();
    }
    TTransferItem* item = Get(id);
    if (!item)
        return ecSkip;
    if (choice >= 10)
        FBatches[item->Batch].Decision = choice;
    if (choice == ecSaveAs) {
        if (newName.empty())
            return ecSkip;
        if (item->Direction == TDirection::Download)
            item->Local = newName;
        else
            item->Remote = newName[0] == '/' ? newName : JoinRemote(RemoteParent(item->Remote), newName);
    }
    return choice;
}

// ---- downloads ----

void TTransferQueue::StartDownload(TConnection* Conn, TTransferItem& Item)
{
    std::string why;
    if (!LocalTargetAllowed(Item, why)) {
        ItemFinished(Conn, Item, false, why);
        return;
    }
    bool resume = false;
    struct stat st {};
    if (::lstat(Item.Local.c_str(), &st) == 0) {
        std::uint64_t id = Item.Id;
        int choice = ExistsAnswer(Item);
        TTransferItem* item = Get(id);
        if (!item || FStopped) {
            ReleaseConnection(Conn, nullptr, "");
            return;
        }
        if (choice == ecSkip || choice == ecCancelAll) {
            ReleaseConnection(Conn, item, "The local file exists");
            return;
        }
        resume = choice == ecRestore;
        if (resume && item->Size >= 0 && st.st_size == item->Size) {
            // Nothing is missing: a restart at the end would only ask for an empty tail.
            Progressed(*item, st.st_size);
            ItemFinished(Conn, *item, true, "");
            return;
        }
    }
    std::uint64_t id = Item.Id;
    WithType(Conn, Item.Binary, [this, Conn, id, resume](std::uint16_t Error) {
        TTransferItem* item = Get(id);
        if (!item)
            return;
        if (Error != 0) {
            ItemFinished(Conn, *item, false, Conn->Reply());
            return;
        }
        std::string remote = item->Remote, local = item->Local;
        // With more files to fetch, the next data port is asked for while this one ends.
        const TTransferItem* next = NextItem();
        bool prefetch = next && next->Kind == TItemKind::File && next->Direction == TDirection::Download
                        && next->Binary == item->Binary;
        FinishTransfer(Conn, id, [Conn, remote, local, resume, prefetch](std::uint16_t) {
            Conn->Ftp->SetPassivePrefetch(prefetch);
            Conn->Ftp->SetHostFileName(remote);
            Conn->Ftp->SetLocalFileName(local);
            if (resume)
                Conn->Ftp->ResumeGet();
            else
                Conn->Ftp->Get();
        });
    });
}

void TTransferQueue::FinishTransfer(TConnection* Conn, std::uint64_t Id, std::function<void(std::uint16_t)> Start)
{
    Conn->Run([Start](TFtpClient&) { Start(0); },
              [this, Conn, Id](std::uint16_t Error) {
                  TTransferItem* item = Get(Id);
                  if (!item)
                      return;
                  if (Error != 0) {
                      std::string reply = Conn->Reply();
                      if (item->Direction == TDirection::Download
                          && (reply.rfind("Unable to write local file", 0) == 0
                              || reply.rfind("Unable to open local file", 0) == 0)
                          && DiskFull && DiskFull(item->Local)) {
                          // The disk, not the file, is at fault: what is left waits for space.
                          FDoneBytes -= item->Transferred;
                          item->Transferred = 0;
                          Conn->Item = 0;
                          Conn->Status = Conn->Up() ? TConnection::csReady : TConnection::csClosed;
                          SetState(*item, TItemState::Pending);
                          StopWith("Local disk full: " + reply);
                          return;
                      }
                      ItemFinished(Conn, *item, false, reply);
                      return;
                  }
                  if (item->Direction == TDirection::Download) {
                      struct stat st {};
                      std::int64_t got = ::stat(item->Local.c_str(), &st) == 0 ? st.st_size : -1;
                      Progressed(*item, got < 0 ? item->Transferred : got);
                      if (item->Binary && item->Size >= 0 && got != item->Size) {
                          ItemFinished(Conn, *item, false,
                                       "Size mismatch: " + std::to_string(got) + " bytes received, the server has "
                                           + std::to_string(item->Size));
                          return;
                      }
                  } else {
                      Progressed(*item, std::max(item->Size, item->Transferred));
                  }
                  ItemFinished(Conn, *item, true, "");
              });
}

// ---- uploads ----

void TTransferQueue::StartUpload(TConnection* Conn, TTransferItem& Item)
{
    struct stat st {};
    if (::stat(Item.Local.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ItemFinished(Conn, Item, false, "Can't upload " + Item.Local + " : Local file don't exist");
        return;
    }
    Item.Size = st.st_size;
    const TBatch& b = FBatches[Item.Batch];
    bool ask = Item.Resume || b.Decision == ecCancelAll || (b.Decision == ecAsk && OnExists);
    std::uint64_t id = Item.Id;
    if (!ask) {
        StartUploadAfterSize(Conn, id, false, 0);
        return;
    }
    std::string remote = Item.Remote;
    Conn->Run(
        [remote](TFtpClient& f) {
            f.SetHostFileName(remote);
            f.Size();
        },
        [this, Conn, id](std::uint16_t Error) {
            // 213 names the size; a refusal (550 no such file, 502 no SIZE) counts as absent.
            StartUploadAfterSize(Conn, id, Error == 0, Error == 0 ? Conn->Ftp->ReplySize() : 0);
        });
}

void TTransferQueue::StartUploadAfterSize(TConnection* Conn, std::uint64_t Id, bool Exists, std::int64_t RemoteSize)
{
    TTransferItem* item = Get(Id);
    if (!item)
        return;
    if (!Conn->Up()) {
        ItemFinished(Conn, *item, false, Conn->Reply());
        return;
    }
    std::int64_t offset = 0;
    if (Exists) {
        int choice = ExistsAnswer(*item);
        item = Get(Id);
        if (!item || FStopped) {
            ReleaseConnection(Conn, nullptr, "");
            return;
        }
        if (choice == ecSkip || choice == ecCancelAll) {
            ReleaseConnection(Conn, item, "The remote file exists");
            return;
        }
        if (choice == ecRestore) {
            if (RemoteSize == item->Size) {
                Progressed(*item, RemoteSize);
                ItemFinished(Conn, *item, true, "");
                return;
            }
            // A remote copy longer than the local file is no broken transfer of it.
            offset = RemoteSize < item->Size ? RemoteSize : 0;
        }
    }
    std::string remote = item->Remote, local = item->Local;
    WithType(Conn, item->Binary, [this, Conn, Id, remote, local, offset](std::uint16_t Error) {
        TTransferItem* item = Get(Id);
        if (!item)
            return;
        if (Error != 0) {
            ItemFinished(Conn, *item, false, Conn->Reply());
            return;
        }
        if (offset <= 0) {
            FinishTransfer(Conn, Id, [Conn, remote, local](std::uint16_t) {
                Conn->Ftp->SetHostFileName(remote);
                Conn->Ftp->SetLocalFileName(local);
                Conn->Ftp->Put();
            });
            return;
        }
        item->Transferred = 0;
        Conn->Run(
            [remote, local, offset](TFtpClient& f) {
                f.SetHostFileName(remote);
                f.SetLocalFileName(local);
                f.SetResumeOffset(offset);
                f.ResumePut();
            },
            [this, Conn, Id, remote, local, offset](std::uint16_t Error) {
                TTransferItem* item = Get(Id);
                if (!item)
                    return;
                if (Error == 0) {
                    Progressed(*item, item->Size);
                    ItemFinished(Conn, *item, true, "");
                    return;
                }
                if ((Error == 500 || Error == 501 || Error == 502 || Error == 504) && Conn->Up()) {
                    // REST before STOR refused: APPE appends the rest to the server's copy.
                    Log("REST refused for " + remote + "; appending with APPE");
                    FinishTransfer(Conn, Id, [Conn, remote, local, offset](std::uint16_t) {
                        Conn->Ftp->SetHostFileName(remote);
                        Conn->Ftp->SetLocalFileName(local);
                        Conn->Ftp->SetResumeOffset(offset);
                        Conn->Ftp->Append();
                    });
                    return;
                }
                ItemFinished(Conn, *item, false, Conn->Reply());
            });
    });
}

// ---- deletes ----

void TTransferQueue::StartDelete(TConnection* Conn, TTransferItem& Item)
{
    std::uint64_t id = Item.Id;
    std::string remote = Item.Remote;
    Conn->Run(
        [remote](TFtpClient& f) {
            f.SetHostFileName(remote);
            f.Dele();
        },
        [this, Conn, id](std::uint16_t Error) {
            if (TTransferItem* item = Get(id))
                ItemFinished(Conn, *item, Error == 0, Error == 0 ? "" : Conn->Reply());
        });
}

// ---- folders ----

void TTransferQueue::StartFolder(TConnection* Conn, TTransferItem& Item)
{
    std::uint64_t id = Item.Id;
    std::string remote = Item.Remote;
    if (Item.Direction == TDirection::Upload) {
        // A folder that exists already is fine; a file that cannot go into it fails itself.
        Conn->Run(
            [remote](TFtpClient& f) {
                f.SetHostFileName(remote);
                f.Mkd();
            },
            [this, Conn, id](std::uint16_t Error) {
                TTransferItem* item = Get(id);
                if (!item)
                    return;
                if (Error != 0 && !Conn->Up()) {
                    ItemFinished(Conn, *item, false, Conn->Reply());
                    return;
                }
                ItemFinished(Conn, *item, true, "");
                if (Error != 0)
                    item->Reply = Conn->Reply();
            });
        return;
    }
    if (Item.Direction == TDirection::Delete && Item.Phase == 1) {
        Conn->Run(
            [remote](TFtpClient& f) {
                f.SetHostFileName(remote);
                f.Rmd();
            },
            [this, Conn, id](std::uint16_t Error) {
                if (TTransferItem* item = Get(id))
                    ItemFinished(Conn, *item, Error == 0, Error == 0 ? "" : Conn->Reply());
            });
        return;
    }
    if (Item.Kind == TItemKind::Link) {
        // A link on the server is followed once, and never when it leads back up the tree
        // (to a folder it lies in): that walk would not end.
        const TTransferItem* parent = Find(Item.Parent);
        std::string parentReal = parent && !parent->RealRemote.empty() ? parent->RealRemote : RemoteParent(Item.Remote);
        std::string location = JoinRemote(parentReal, BaseName(Item.Remote));
        TBatch& b = FBatches[Item.Batch];
        std::string target = Item.RealRemote.empty() ? "" : NormalizeRemote(parentReal, Item.RealRemote);
        std::string refuse;
        if (Item.LinkDepth > 8)
            refuse = "Symbolic link not followed: too many links on the way";
        else if (!target.empty() && RemoteWithin(location, target))
            refuse = "Symbolic link loop not followed (" + target + ")";
        else if (!target.empty() && b.FollowedLinks.count(target))
            refuse = "Symbolic link not followed again (" + target + ")";
        else if (target.empty() && Item.LinkDepth > 2)
            refuse = "Symbolic link not followed: its target is not listed";
        if (!refuse.empty()) {
            ReleaseConnection(Conn, &Item, refuse);
            Log(Item.Remote + ": " + refuse);
            return;
        }
        Conn->Run(
            [remote](TFtpClient& f) {
                f.SetHostDirName(remote);
                f.Cwd();
            },
            [this, Conn, id, target](std::uint16_t Error) {
                TTransferItem* item = Get(id);
                if (!item)
                    return;
                if (Error != 0) {
                    if (!Conn->Up()) {
                        ItemFinished(Conn, *item, false, Conn->Reply());
                        return;
                    }
                    // Not a folder: the link's file is copied like a file.
                    item->Kind = TItemKind::File;
                    item->RealRemote.clear();
                    StartDownload(Conn, *item);
                    return;
                }
                item->Kind = TItemKind::Folder;
                if (!target.empty())
                    FBatches[item->Batch].FollowedLinks.insert(target);
                item->RealRemote = target.empty() ? item->Remote : target;
                StartFolder(Conn, *item);
            });
        return;
    }
    if (Item.Direction == TDirection::Download) {
        std::string why;
        if (!LocalTargetAllowed(Item, why)) {
            ItemFinished(Conn, Item, false, why);
            return;
        }
        if (::mkdir(Item.Local.c_str(), 0777) != 0 && errno != EEXIST) {
            ItemFinished(Conn, Item, false, "Unable to create local folder " + Item.Local + ": " + std::strerror(errno));
            return;
        }
        struct stat st {};
        if (::stat(Item.Local.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            ItemFinished(Conn, Item, false, "Unable to create local folder " + Item.Local + ": a file has its name");
            return;
        }
    }
    bool root = Item.Parent == 0 && Item.RealRemote.empty();
    Conn->Run(
        [remote](TFtpClient& f) {
            f.SetHostDirName(remote);
            f.Cwd();
        },
        [this, Conn, id, root](std::uint16_t Error) {
            TTransferItem* item = Get(id);
            if (!item)
                return;
            if (Error != 0) {
                ItemFinished(Conn, *item, false, Conn->Reply());
                return;
            }
            if (!root) {
                ListFolder(Conn, id);
                return;
            }
            // The walk's loop protection compares real paths: the top folder's is asked for.
            Conn->Run([](TFtpClient& f) { f.Pwd(); },
                      [this, Conn, id](std::uint16_t Error) {
                          TTransferItem* item = Get(id);
                          if (!item)
                              return;
                          item->RealRemote = Error == 0 && !Conn->Ftp->ReplyDirectory().empty()
                                                 ? Conn->Ftp->ReplyDirectory()
                                                 : item->Remote;
                          ListFolder(Conn, id);
                      });
        });
}

void TTransferQueue::ListFolder(TConnection* Conn, std::uint64_t Id)
{
    std::string file = Conn->ListingFile;
    Conn->Run(
        [file](TFtpClient& f) {
            f.SetHostFileName("");
            f.SetLocalFileName(file);
            f.SetPassivePrefetch(false);   // a walk changes folder before each listing
            f.ListDir();
        },
        [this, Conn, Id](std::uint16_t Error) {
            TTransferItem* item = Get(Id);
            if (!item)
                return;
            if (Error != 0) {
                ItemFinished(Conn, *item, false, Conn->Reply());
                return;
            }
            FolderListed(Conn, Id, ReadWhole(Conn->ListingFile));
        });
}

void TTransferQueue::FolderListed(TConnection* Conn, std::uint64_t Id, const std::string& Data)
{
    TTransferItem* folder = Get(Id);
    if (!folder)
        return;
    std::uint64_t batch = folder->Batch;
    TDirection dir = folder->Direction;
    std::string remote = folder->Remote, local = folder->Local, real = folder->RealRemote;
    int depth = folder->LinkDepth;
    const TBatchOptions& options = FBatches[batch].Options;
    int children = 0;
    for (const TRemoteEntry& e : ParseRemoteListing(Data)) {
        if ((e.Name == "." || e.Name == "..") && e.Kind == TRemoteKind::Folder)
            continue;
        TItemKind kind = e.Kind == TRemoteKind::Folder ? TItemKind::Folder
                         : e.Kind == TRemoteKind::Link && dir == TDirection::Download ? TItemKind::Link
                                                                                    : TItemKind::File;
        TTransferItem& item = NewItem(batch, dir, kind);
        item.Parent = Id;
        ++children;
        if (!IsPlainName(e.Name)) {
            item.Remote = remote + "/" + Printable(e.Name);
            item.State = TItemState::Failed;
            item.Reply = "Refused remote name \"" + Printable(e.Name) + "\": not a plain file name";
            FinishChild(item);
            Log(item.Reply);
            Changed(item);
            continue;
        }
        item.Remote = JoinRemote(remote, e.Name);
        if (dir == TDirection::Download)
            item.Local = local + "/" + e.Name;
        item.Size = kind == TItemKind::File ? e.Size : -1;
        item.Binary = options.IsBinary ? options.IsBinary(e.Name) : true;
        item.Resume = options.Resume;
        item.LinkDepth = depth + (kind == TItemKind::Link ? 1 : 0);
        if (kind == TItemKind::Folder)
            item.RealRemote = JoinRemote(real.empty() ? remote : real, e.Name);
        else if (kind == TItemKind::Link)
            item.RealRemote = e.LinkTarget;   // resolved against the folder when followed
        Changed(item);
    }
    folder = Get(Id);
    if (!folder)
        return;
    if (dir == TDirection::Delete) {
        // The folder is removed once all of it is gone.
        folder->Phase = 1;
        for (auto& i : FItems)
            if (i->Parent == Id && i->State != TItemState::Done && i->State != TItemState::Failed
                && i->State != TItemState::Skipped)
                ++folder->OpenChildren;
        Conn->Item = 0;
        Conn->Status = Conn->Up() ? TConnection::csReady : TConnection::csClosed;
        SetState(*folder, TItemState::Pending);
        PostSchedule();
        return;
    }
    (void)children;
    ItemFinished(Conn, *folder, true, "");
}

} // namespace transfer
