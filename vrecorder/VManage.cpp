// Management API of the virtual recorders (list, add, insert, eject, export,
// faults, log).
#include "VDrive.h"
#include "VRecorder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <set>
#include <unistd.h>

namespace vrec {

std::string DrivesFolder() { return DrivesFolderPath(); }
bool PrepareDrivesFolder(std::string &err) { return EnsureDrivesFolder(err); }

std::vector<std::string> ModelNames() {
  std::vector<std::string> v;
  for (const TModel &m : Models())
    v.push_back(m.Name);
  return v;
}

std::vector<std::string> MediaNames() {
  std::vector<std::string> v;
  for (const TMediaType &t : MediaTypes())
    v.push_back(t.Name);
  return v;
}

static bool DriveDir(const std::string &name, std::string &dir, std::string &err) {
  if (!EnsureDrivesFolder(err))
    return false;
  if (!ValidDriveName(name)) {
    err = "invalid drive name \"" + name + "\"";
    return false;
  }
  dir = DrivesFolderPath() + "/" + name;
  struct stat st{};
  if (stat(SettingsPath(dir).c_str(), &st) != 0) {
    err = "no drive named \"" + name + "\" in " + DrivesFolderPath();
    return false;
  }
  return true;
}

static bool ExportLoaded(const std::string &dir, const TDrive &d, const std::string &file, int session,
                         std::string &err);

// Runs fn(dir, drive) on the loaded drive while holding its lock.
template <class Fn> static bool WithDrive(const std::string &name, std::string &err, Fn fn) {
  std::string dir;
  if (!DriveDir(name, dir, err))
    return false;
  TDriveLock lock(dir);
  if (!lock.Ok()) {
    err = "cannot lock " + dir;
    return false;
  }
  TDrive d;
  if (!LoadDrive(dir, d, err))
    return false;
  return fn(dir, d);
}

// Runs fn on the loaded drive under its lock and saves it when fn returns true.
template <class Fn> static bool Modify(const std::string &name, std::string &err, Fn fn) {
  return WithDrive(name, err, [&](const std::string &, TDrive &d) { return fn(d) && SaveDrive(d, err); });
}

static TDriveSummary Summarize(const TDrive &d) {
  TDriveSummary s;
  s.Name = d.Name;
  s.Slot = d.Slot;
  s.Address = d.AddressText();
  s.Model = d.Model;
  s.Vendor = d.Vendor;
  s.Product = d.Product;
  s.Revision = d.Revision;
  s.Medium = d.Medium;
  s.TrayOpen = d.TrayOpen;
  s.Formatted = d.Formatted;
  s.Capacity = d.Capacity;
  s.Tracks = int(d.Tracks.size());
  // The disc as a host sees it with the tray closed: the same session count
  // and status that READ DISC INFORMATION gives.
  TDrive closed = d;
  closed.TrayOpen = false;
  const TDiscState st = DiscState(closed);
  const TMediaType *t = d.Type();
  s.DiscStatus = !t ? "none" : st.Status == 0 ? "empty" : st.Status == 1 ? "appendable" : "complete";
  s.Sessions = st.Recorded();
  // The invisible track is where the next data goes, not recorded data.
  s.Recorded = t && t->Rom ? d.Capacity : closed.RecordedEnd();
  if (!d.Op.empty() && NowSeconds() < d.OpStart + d.OpSeconds)
    s.Operation = d.Op;
  for (const TFault &f : d.Faults)
    s.Faults.push_back(f.Text());
  return s;
}

bool ListDrives(std::vector<TDriveSummary> &out, std::string &err) {
  out.clear();
  if (!EnsureDrivesFolder(err))
    return false;
  const std::string folder = DrivesFolderPath();
  DriveSlots(folder);  // drives without an address get one before they are shown
  for (const std::string &n : DriveNames(folder)) {
    const std::string dir = folder + "/" + n;
    TDriveLock lock(dir);
    TDrive d;
    std::string e;
    if (!LoadDrive(dir, d, e)) {
      TDriveSummary s;
      s.Name = n;
      s.Medium = "unreadable settings: " + e;
      out.push_back(s);
      continue;
    }
    out.push_back(Summarize(d));
  }
  // By address, as a scan finds them; drives without one (unreadable) last.
  std::stable_sort(out.begin(), out.end(), [](const TDriveSummary &a, const TDriveSummary &b) {
    return unsigned(a.Slot) < unsigned(b.Slot);
  });
  return true;
}

std::vector<std::string> IgnoredFolders() { return StrayDriveFolders(DrivesFolderPath()); }

bool GetDrive(const std::string &name, TDriveSummary &out, std::string &err) {
  return WithDrive(name, err, [&](const std::string &, TDrive &d) {
    out = Summarize(d);
    return true;
  });
}

bool AddDrive(const std::string &name, const std::string &model, const std::string &vendor,
              const std::string &product, const std::string &revision, std::string &err) {
  if (!EnsureDrivesFolder(err))
    return false;
  if (!ValidDriveName(name)) {
    err = "invalid drive name \"" + name + "\": a name begins with a letter, followed by letters, digits, '.', '_' "
          "or '-' (64 characters at most)";
    return false;
  }
  const TModel *m = FindModel(model);
  if (!m) {
    err = "unknown model \"" + model + "\" (cdrw-writer, dvd-writer, dvd-reader)";
    return false;
  }
  if (vendor.size() > 8 || product.size() > 16 || revision.size() > 4) {
    err = "vendor, product and revision are at most 8, 16 and 4 characters";
    return false;
  }
  // The folder's lock keeps two processes from giving out the same address.
  const std::string folder = DrivesFolderPath();
  TDriveLock folderLock(folder);
  std::set<int> used;
  for (const TDriveSlot &s : DriveSlotsLocked(folder))
    used.insert(s.Slot);
  const int slot = FreeSlot(used);
  if (slot < 0) {
    err = "no free address: " + std::to_string(kMaxAdapters * kTargetsPerAdapter) + " drives at most";
    return false;
  }
  const std::string dir = folder + "/" + name;
  if (mkdir(dir.c_str(), 0755) != 0) {
    err = errno == EEXIST ? "a drive named \"" + name + "\" already exists" : "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  TDriveLock lock(dir);
  TDrive d;
  d.Name = name;
  d.Dir = dir;
  d.Slot = slot;
  InitModel(d, *m);
  if (!vendor.empty())
    d.Vendor = vendor;
  if (!product.empty())
    d.Product = product;
  if (!revision.empty())
    d.Revision = revision;
  ClearData(d);
  if (!SaveDrive(d, err)) {
    std::remove(DataPath(dir).c_str());
    rmdir(dir.c_str());
    return false;
  }
  return true;
}

bool RemoveDrive(const std::string &name, std::string &err) {
  std::string dir;
  if (!DriveDir(name, dir, err))
    return false;
  {
    TDriveLock lock(dir);
    for (const std::string &f : {SettingsPath(dir), DataPath(dir), LogPath(dir), LogPath(dir) + ".1", dir + "/generation"})
      std::remove(f.c_str());
  }
  if (rmdir(dir.c_str()) != 0) {
    err = "cannot remove " + dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool InsertMedium(const std::string &name, const std::string &media, uint32_t capacity, const std::string &image,
                  bool formatted, std::string &err) {
  const TMediaType *t = FindMediaType(media);
  std::string m = media;
  for (char &ch : m)
    ch = char(toupper(static_cast<unsigned char>(ch)));
  if (m == "DVD-RW-RO") {
    t = FindMediaType("DVD-RW");
    formatted = true;
  } else if (m == "DVD+RW-FORMATTED") {
    t = FindMediaType("DVD+RW");
    formatted = true;
  }
  if (!t) {
    err = "unknown medium \"" + media + "\"";
    return false;
  }
  uint64_t imageBytes = 0;
  std::string absImage;
  if (!image.empty()) {
    struct stat st{};
    char *real = realpath(image.c_str(), nullptr);
    if (!real || stat(real, &st) != 0 || !S_ISREG(st.st_mode)) {
      free(real);
      err = "cannot use image file " + image;
      return false;
    }
    absImage = real;
    free(real);
    imageBytes = uint64_t(st.st_size);
    if (imageBytes == 0) {
      err = "image file " + image + " is empty";
      return false;
    }
  } else if (t->Rom) {
    err = std::string(t->Name) + " needs --image FILE";
    return false;
  }
  const uint64_t imageBlocks = (imageBytes + 2047) / 2048;
  if (t->Rom && imageBlocks > 0xFFFFFFF0u) {
    err = "image too large";
    return false;
  }
  return Modify(name, err, [&](TDrive &d) {
    if (d.Prevent && d.Medium != "none" && !d.TrayOpen) {
      err = "medium removal is prevented on " + name;
      return false;
    }
    // Every check comes before the drive's data is touched: a refused insert
    // leaves the loaded disc as it was.
    TDrive next = d;
    next.LoadMedium(*t, t->Rom ? uint32_t(imageBlocks) : capacity);
    if (t->Rom) {
      next.Image = absImage;
      ClearData(next);
      d = std::move(next);
      return true;
    }
    if (formatted && t->Profile != PROF_DVDPRW && t->Profile != PROF_DVDRW_SEQ && t->Profile != PROF_DVDRAM &&
        t->Profile != PROF_BDRE) {
      err = "--formatted applies to DVD+RW, DVD-RW and BD-RE only";
      return false;
    }
    next.Formatted = next.Formatted || formatted;
    if (next.Formatted)
      next.Tracks.clear();
    // A BD-RE comes formatted as a drive's quick format leaves it: with the
    // default spare areas, which the user capacity loses.
    if (formatted && t->Profile == PROF_BDRE)
      next.SetSpareBlocks(BdSpares(next.RawCapacity()).Default);
    if (absImage.empty()) {
      ClearData(next);
      d = std::move(next);
      return true;
    }
    if (imageBlocks > next.Capacity) {
      err = "image of " + std::to_string(imageBlocks) + " blocks does not fit on " + std::to_string(next.Capacity);
      return false;
    }
    if ((t->Profile == PROF_DVDPRW || t->Profile == PROF_BDRE) && !next.Formatted) {
      err = std::string("an unformatted ") + t->Name + " holds no data (add --formatted)";
      return false;
    }
    if (t->Sequential && !next.Formatted) {
      // The image becomes a first closed session that can be appended to.
      if (!RecordClosedSession(next, 0, uint32_t(imageBlocks), err))
        return false;
    } else {
      next.MaxWritten = uint32_t(imageBlocks);
    }
    // The copy replaces the data file only once complete.
    if (!CopyImage(absImage, DataPath(d.Dir), imageBlocks * 2048, err))
      return false;
    d = std::move(next);
    return true;
  });
}

bool AppendSession(const std::string &name, const std::string &image, int64_t at, std::string &err) {
  const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st{};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
    if (fd >= 0)
      close(fd);
    err = "cannot use image file " + image + (fd >= 0 ? " (not a regular file, or empty)" : "");
    return false;
  }
  const uint64_t blocks = (uint64_t(st.st_size) + 2047) / 2048;
  const bool ok = Modify(name, err, [&](TDrive &d) {
    const TMediaType *t = d.Type();
    if (!t || d.TrayOpen || t->Rom || !t->Sequential || d.Formatted) {
      err = "append-session needs a recordable CD or DVD in " + name + " (sequential, not overwritable)";
      return false;
    }
    if (d.Finalized) {
      err = "the disc in " + name + " is closed: no session can be added";
      return false;
    }
    const int inv = d.InvisibleTrack();
    const uint32_t start = at >= 0 ? uint32_t(std::min<int64_t>(at, 0xFFFFFFFF)) : inv >= 0 ? d.Tracks[size_t(inv)].Start : 0;
    TDrive next = d;
    if (blocks > 0xFFFFFFFFull || !RecordClosedSession(next, start, uint32_t(blocks), err))
      return false;
    // Copy the image to its place on the disc; blocks past the recorded
    // area are unreadable, so a failed copy changes nothing the disc shows.
    std::vector<uint8_t> buf(size_t(256) * 2048);
    for (uint64_t done = 0; done < blocks;) {
      const uint32_t n = uint32_t(std::min<uint64_t>(256, blocks - done));
      std::fill(buf.begin(), buf.end(), 0);
      size_t got = 0;
      while (got < size_t(n) * 2048) {
        const ssize_t r = pread(fd, buf.data() + got, size_t(n) * 2048 - got, off_t(done * 2048 + got));
        if (r < 0 && errno == EINTR)
          continue;
        if (r < 0) {
          err = "cannot read " + image + ": " + std::strerror(errno);
          return false;
        }
        if (r == 0)
          break;  // the last block is padded with zeros
        got += size_t(r);
      }
      if (!WriteBlocks(d, uint32_t(start + done), n, buf.data())) {
        err = "cannot write " + DataPath(d.Dir) + ": " + std::strerror(errno);
        return false;
      }
      done += n;
    }
    d = std::move(next);
    return true;
  });
  close(fd);
  return ok;
}

bool EjectMedium(const std::string &name, std::string &err, bool force) {
  return Modify(name, err, [&](TDrive &d) {
    if (d.Prevent && !force && d.Medium != "none" && !d.TrayOpen) {
      err = "the tray of " + name + " is locked (medium removal prevented); --force takes the disc out anyway";
      return false;
    }
    d.RemoveMedium();
    ClearData(d);
    return true;
  });
}

bool ExportMedium(const std::string &name, const std::string &file, int session, std::string &err) {
  return WithDrive(name, err, [&](const std::string &dir, TDrive &d) { return ExportLoaded(dir, d, file, session, err); });
}

static bool ExportLoaded(const std::string &dir, const TDrive &d, const std::string &file, int session,
                         std::string &err) {
  const std::string &name = d.Name;
  const TMediaType *t = d.Type();
  if (!t) {
    err = "no medium in " + name;
    return false;
  }
  uint64_t end = 0;
  if (t->Rom) {
    end = d.Capacity;
  } else if (!t->Sequential || d.Formatted) {
    if (session > 1) {
      err = "an overwritable medium has one session";
      return false;
    }
    end = d.MaxWritten;
  } else {
    const int last = session > 0 ? session : 1 << 30;
    bool found = false;
    for (const TTrack &tr : d.Tracks)
      if (tr.Session <= last && tr.Written) {
        end = std::max<uint64_t>(end, uint64_t(tr.Start) + tr.Written);
        found = found || tr.Session == session;
      }
    if (session > 0 && !found) {
      err = "no recorded session " + std::to_string(session) + " on " + name;
      return false;
    }
  }
  if (end == 0) {
    err = "nothing recorded on " + name;
    return false;
  }
  return CopyImage(t->Rom ? d.Image : DataPath(dir), file, end * 2048, err);
}

bool AddFault(const std::string &name, const std::string &spec, std::string &err) {
  TFault f;
  if (!ParseFault(spec, f, err))
    return false;
  return Modify(name, err, [&](TDrive &d) {
    d.Faults.push_back(f);
    return true;
  });
}

bool ClearFaults(const std::string &name, std::string &err) {
  return Modify(name, err, [&](TDrive &d) {
    d.Faults.clear();
    return true;
  });
}

bool ReadLog(const std::string &name, std::string &text, std::string &err) {
  std::string dir;
  if (!DriveDir(name, dir, err))
    return false;
  TDriveLock lock(dir);
  text.clear();
  std::ifstream in(LogPath(dir));
  if (!in)
    return true;  // nothing logged yet
  std::ostringstream o;
  o << in.rdbuf();
  text = o.str();
  return true;
}

bool ClearLog(const std::string &name, std::string &err) {
  std::string dir;
  if (!DriveDir(name, dir, err))
    return false;
  TDriveLock lock(dir);
  std::remove((LogPath(dir) + ".1").c_str());
  const int fd = open(LogPath(dir).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    err = "cannot clear " + LogPath(dir);
    return false;
  }
  close(fd);
  return true;
}

bool SetSetting(const std::string &name, const std::string &key, const std::string &value, std::string &err) {
  if (key.empty() || key.find_first_of("=\n#") != std::string::npos || value.find('\n') != std::string::npos) {
    err = "invalid setting \"" + key + "\"";
    return false;
  }
  return Modify(name, err, [&](TDrive &d) { return SetDriveKey(d, key, value, err); });
}

}  // namespace vrec
