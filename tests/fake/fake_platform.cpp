#include "tests/fake/fake_platform.h"

#include <algorithm>
#include <cstring>

namespace fake {

namespace {

// Windows documents 255 characters but takes 256, and refuses longer names
// with ERROR_INVALID_PARAMETER.
constexpr std::size_t kMaxKeyNameLength = 256;
constexpr std::int32_t kHresultFail = static_cast<std::int32_t>(0x80004005u);

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string ParentOf(const std::string& path) {
    std::size_t separator = path.rfind('\\');
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

std::string RootName(RegRoot root) { return root == RegRoot::ClassesRoot ? "HKCR" : "HKLM"; }

}  // namespace

std::string Fold(const std::string& text) {
    std::string folded = text;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

const char* OpName(Op op) {
    switch (op) {
        case Op::ModuleFileName: return "ModuleFileName";
        case Op::SystemFolderPath: return "SystemFolderPath";
        case Op::SystemWow64FolderPath: return "SystemWow64FolderPath";
        case Op::QueryFile: return "QueryFile";
        case Op::RemoveFile: return "RemoveFile";
        case Op::ClearFileAttributes: return "ClearFileAttributes";
        case Op::CheckReplaceable: return "CheckReplaceable";
        case Op::MoveFileOver: return "MoveFileOver";
        case Op::DeleteAtRestart: return "DeleteAtRestart";
        case Op::FolderDriveType: return "FolderDriveType";
        case Op::FileSize: return "FileSize";
        case Op::FileDigest: return "FileDigest";
        case Op::ReadFileVersion: return "ReadFileVersion";
        case Op::FindLinkInPath: return "FindLinkInPath";
        case Op::OpenComponent: return "OpenComponent";
        case Op::CopyOpened: return "CopyOpened";
        case Op::SameBytes: return "SameBytes";
        case Op::DeleteOpened: return "DeleteOpened";
        case Op::CloseFile: return "CloseFile";
        case Op::LoadLibraryFrom: return "LoadLibraryFrom";
        case Op::FindExport: return "FindExport";
        case Op::CallExport: return "CallExport";
        case Op::FreeLibraryHandle: return "FreeLibraryHandle";
        case Op::OpenKey: return "OpenKey";
        case Op::CreateKey: return "CreateKey";
        case Op::SetString: return "SetString";
        case Op::SetDword: return "SetDword";
        case Op::QueryValue: return "QueryValue";
        case Op::DeleteValue: return "DeleteValue";
        case Op::QueryKeyInfo: return "QueryKeyInfo";
        case Op::EnumSubKey: return "EnumSubKey";
        case Op::DeleteKey: return "DeleteKey";
        case Op::FlushKey: return "FlushKey";
        case Op::CloseKey: return "CloseKey";
        case Op::ShowMessage: return "ShowMessage";
        case Op::Pause: return "Pause";
        case Op::LocalDate: return "LocalDate";
        case Op::Note: return "Note";
    }
    return "?";
}

struct FakePlatform::Key {
    std::string name;
    Key* parent = nullptr;
    bool deleted = false;
    std::map<std::string, std::shared_ptr<Key>> children;          // by folded name: enumeration order
    std::map<std::string, std::pair<std::string, Value>> values;  // folded -> (name as written, value)
};

std::shared_ptr<FakeControl> WellBehavedControl() {
    auto control = std::make_shared<FakeControl>();
    control->onRegister = [](FakePlatform& os, const std::string& path) {
        os.PutValue(RegRoot::ClassesRoot,
                    "CLSID\\{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}\\InprocServer32", "", path);
    };
    control->onUnregister = [](FakePlatform& os, const std::string&) {
        os.EraseKey(RegRoot::ClassesRoot, "CLSID\\{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}");
    };
    return control;
}

FakePlatform::FakePlatform()
    : classesRoot_(std::make_shared<Key>()), localMachine_(std::make_shared<Key>()) {
    classesRoot_->name = "HKEY_CLASSES_ROOT";
    localMachine_->name = "HKEY_LOCAL_MACHINE";
    AddDirectory(systemFolder);
    AddDirectory("C:\\Pkg");
    directories_.insert("");  // the root of the current drive, "\\name"
}

FakePlatform::~FakePlatform() = default;

// --- Set-up and inspection -------------------------------------------------

void FakePlatform::AddDirectory(const std::string& path) {
    std::string folded = Fold(path);
    while (!folded.empty()) {
        directories_.insert(folded);
        folded = ParentOf(folded);
    }
}

void FakePlatform::AddFile(const std::string& path, const std::string& content,
                           std::shared_ptr<FakeControl> library) {
    AddDirectory(ParentOf(path));
    files_[Fold(path)] = File{content, std::move(library)};
}

void FakePlatform::SetFileVersion(const std::string& path, const platform::FileVersion& version) {
    File& file = files_[Fold(path)];
    file.hasVersion = true;
    file.version = version;
}

void FakePlatform::SetAttributes(const std::string& path, std::uint32_t attributes) {
    files_[Fold(path)].attributes = attributes;
}

void FakePlatform::SetLinks(const std::string& path, bool reparsePoint, int names) {
    File& file = files_[Fold(path)];
    file.reparsePoint = reparsePoint;
    file.names = names;
}

std::uint32_t FakePlatform::AttributesOf(const std::string& path) const {
    auto it = files_.find(Fold(path));
    return it == files_.end() ? 0 : it->second.attributes;
}

std::uint32_t FakePlatform::AbsentError(const std::string& folded) const {
    return directories_.count(ParentOf(folded)) == 0 ? platform::kErrorPathNotFound : platform::kErrorFileNotFound;
}

std::uint32_t FakePlatform::TargetRefusal(const std::string& folded) const {
    if (directories_.count(ParentOf(folded)) == 0) return platform::kErrorPathNotFound;
    if (directories_.count(folded) != 0) return platform::kErrorAccessDenied;
    if (IsOpened(folded)) return platform::kErrorSharingViolation;
    auto block = blocked_.find(folded);
    return block != blocked_.end() ? block->second : platform::kErrorSuccess;
}

bool FakePlatform::IsLoaded(const std::string& folded) const {
    for (const auto& entry : libraries_) {
        if (Fold(entry.second.path) == folded) return true;
    }
    return false;
}

bool FakePlatform::IsOpened(const std::string& folded) const {
    for (const auto& entry : fileHandles_) {
        if (entry.second.folded == folded) return true;
    }
    return false;
}

FakePlatform::OpenFile* FakePlatform::Opened(platform::FileHandle file) {
    auto it = fileHandles_.find(reinterpret_cast<std::uintptr_t>(file));
    if (it == fileHandles_.end()) {
        ++badHandleUses;
        return nullptr;
    }
    return &it->second;
}

void FakePlatform::BlockDestination(const std::string& path, std::uint32_t error) { blocked_[Fold(path)] = error; }
void FakePlatform::UnblockDestination(const std::string& path) { blocked_.erase(Fold(path)); }

bool FakePlatform::FileExists(const std::string& path) const { return files_.count(Fold(path)) != 0; }

std::string FakePlatform::FileContent(const std::string& path) const {
    auto it = files_.find(Fold(path));
    return it == files_.end() ? std::string() : it->second.content;
}

std::shared_ptr<FakePlatform::Key> FakePlatform::Find(RegRoot root, const std::string& path) const {
    std::shared_ptr<Key> key = root == RegRoot::ClassesRoot ? classesRoot_ : localMachine_;
    for (const std::string& part : SplitPath(path)) {
        auto it = key->children.find(Fold(part));
        if (it == key->children.end()) return nullptr;
        key = it->second;
    }
    return key;
}

void FakePlatform::PutKey(RegRoot root, const std::string& path) {
    std::shared_ptr<Key> key;
    (void)Lookup(root, path, true, &key);
}

void FakePlatform::PutValue(RegRoot root, const std::string& path, const std::string& name,
                            const std::string& data) {
    std::shared_ptr<Key> key;
    if (Lookup(root, path, true, &key) == platform::kErrorSuccess) {
        key->values[Fold(name)] = {name, Value{data, TextCoding::SystemAnsi}};
    }
}

void FakePlatform::EraseKey(RegRoot root, const std::string& path) {
    std::shared_ptr<Key> key = Find(root, path);
    if (!key || key->parent == nullptr) return;
    std::vector<Key*> pending{key.get()};
    while (!pending.empty()) {
        Key* next = pending.back();
        pending.pop_back();
        next->deleted = true;
        for (auto& entry : next->children) pending.push_back(entry.second.get());
    }
    key->parent->children.erase(Fold(key->name));
}

bool FakePlatform::KeyExists(RegRoot root, const std::string& path) const { return Find(root, path) != nullptr; }

bool FakePlatform::ValueOf(RegRoot root, const std::string& path, const std::string& name, Value* out) const {
    std::shared_ptr<Key> key = Find(root, path);
    if (!key) return false;
    auto it = key->values.find(Fold(name));
    if (it == key->values.end()) return false;
    *out = it->second.second;
    return true;
}

std::vector<std::string> FakePlatform::ValueNames(RegRoot root, const std::string& path) const {
    std::vector<std::string> names;
    if (std::shared_ptr<Key> key = Find(root, path)) {
        for (const auto& entry : key->values) names.push_back(entry.second.first);
    }
    return names;
}

std::vector<std::string> FakePlatform::SubKeyNames(RegRoot root, const std::string& path) const {
    std::vector<std::string> names;
    if (std::shared_ptr<Key> key = Find(root, path)) {
        for (const auto& entry : key->children) names.push_back(entry.second->name);
    }
    return names;
}

std::size_t FakePlatform::KeyCount(RegRoot root) const {
    std::size_t count = 0;
    std::vector<const Key*> pending{(root == RegRoot::ClassesRoot ? classesRoot_ : localMachine_).get()};
    while (!pending.empty()) {
        const Key* key = pending.back();
        pending.pop_back();
        for (const auto& entry : key->children) {
            ++count;
            pending.push_back(entry.second.get());
        }
    }
    return count;
}

std::size_t FakePlatform::LoadedLibraries() const {
    std::size_t count = 0;
    for (const auto& entry : libraries_) {
        if (!entry.second.elsewhere) count += static_cast<std::size_t>(entry.second.references);
    }
    return count;
}

void FakePlatform::LoadElsewhere(const std::string& path) {
    auto it = files_.find(Fold(path));
    if (it == files_.end()) return;  // nothing there to load
    libraries_[nextLibrary_] = Library{path, it->second.library, 1, true};
    nextLibrary_ += 0x10000;
}

void FakePlatform::LetGoElsewhere() {
    for (auto it = libraries_.begin(); it != libraries_.end();) {
        it = it->second.elsewhere ? libraries_.erase(it) : std::next(it);
    }
}

std::vector<Op> FakePlatform::Ops() const {
    std::vector<Op> ops;
    for (const Call& call : calls) ops.push_back(call.op);
    return ops;
}

int FakePlatform::CountOf(Op op) const {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [op](const Call& c) { return c.op == op; }));
}

// --- Fault injection -------------------------------------------------------

void FakePlatform::FailCall(Op op, int occurrence, std::uint32_t error) {
    faults_.push_back(Fault{op, occurrence, std::string(), error});
}

void FakePlatform::FailNthCall(int n, std::uint32_t error, int times) {
    failNth_ = n;
    failNthError_ = error;
    failNthRepeats_ = times - 1;
}

void FakePlatform::FailCallsOn(Op op, const std::string& argument, std::uint32_t error) {
    faults_.push_back(Fault{op, 0, Fold(argument), error});
}

void FakePlatform::StopBeforeCall(int n) { stopAt_ = n; }

void FakePlatform::EndProcess() {
    stopAt_ = 0;
    for (auto it = libraries_.begin(); it != libraries_.end();) {
        it = it->second.elsewhere ? std::next(it) : libraries_.erase(it);
    }
    procs_.clear();
    keyHandles_.clear();
    // Windows closes the files too, and deletes those marked for it.
    for (const auto& entry : fileHandles_) {
        if (entry.second.deleting) files_.erase(entry.second.folded);
    }
    fileHandles_.clear();
}

bool FakePlatform::Stopped() const { return stopAt_ != 0 && static_cast<int>(calls.size()) >= stopAt_; }

bool FakePlatform::Intercept(Op op, const std::string& argument, std::uint32_t* error) {
    calls.push_back(Call{op, argument});
    if (Stopped()) {
        *error = 1067;  // ERROR_PROCESS_ABORTED: nothing of the call happens
        return true;
    }
    const int occurrence = ++opCounts_[op];
    if (failNth_ != 0 && static_cast<int>(calls.size()) == failNth_) {
        failNthCall_ = calls.back();
        *error = failNthError_;
        return true;
    }
    if (failNthRepeats_ > 0 && static_cast<int>(calls.size()) > failNth_ && op == failNthCall_.op &&
        argument == failNthCall_.argument) {
        --failNthRepeats_;
        *error = failNthError_;
        return true;
    }
    for (const Fault& fault : faults_) {
        if (fault.op != op) continue;
        if ((fault.occurrence != 0 && fault.occurrence == occurrence) ||
            (fault.occurrence == 0 && fault.argument == Fold(argument))) {
            *error = fault.error;
            return true;
        }
    }
    return false;
}

// --- Files and libraries ---------------------------------------------------

std::uint32_t FakePlatform::ModuleFileName(char* buffer, std::uint32_t size) {
    std::uint32_t error = 0;
    if (Intercept(Op::ModuleFileName, modulePath, &error)) return 0;
    if (size == 0) return 0;
    // As on Windows XP and later: a path that does not fit is truncated, NUL
    // terminated, and the buffer size returned.
    if (modulePath.size() >= size) {
        std::memcpy(buffer, modulePath.data(), size - 1);
        buffer[size - 1] = '\0';
        return size;
    }
    std::memcpy(buffer, modulePath.c_str(), modulePath.size() + 1);
    return static_cast<std::uint32_t>(modulePath.size());
}

std::int32_t FakePlatform::SystemFolderPath(char* buffer, std::size_t size) {
    std::uint32_t error = 0;
    if (Intercept(Op::SystemFolderPath, systemFolder, &error)) return kHresultFail;
    if (systemFolder.size() >= size) return kHresultFail;
    std::memcpy(buffer, systemFolder.c_str(), systemFolder.size() + 1);
    return 0;
}

std::uint32_t FakePlatform::SystemWow64FolderPath(char* buffer, std::size_t size) {
    std::uint32_t error = 0;
    if (Intercept(Op::SystemWow64FolderPath, wow64Folder, &error)) return 0;
    if (wow64Folder.empty() || wow64Folder.size() >= size) return 0;
    std::memcpy(buffer, wow64Folder.c_str(), wow64Folder.size() + 1);
    return static_cast<std::uint32_t>(wow64Folder.size());
}

std::uint32_t FakePlatform::QueryFile(const char* path) {
    std::uint32_t error = 0;
    if (Intercept(Op::QueryFile, path, &error)) return error;
    const std::string folded = Fold(path);
    // A folder at that name is no file; a missing folder is its own error.
    return files_.count(folded) != 0 ? platform::kErrorSuccess : AbsentError(folded);
}

std::uint32_t FakePlatform::RemoveFile(const char* path) {
    std::uint32_t error = 0;
    if (Intercept(Op::RemoveFile, path, &error)) return error;
    auto it = files_.find(Fold(path));
    if (it == files_.end()) return platform::kErrorFileNotFound;
    if (IsOpened(it->first)) return platform::kErrorSharingViolation;
    if (IsLoaded(it->first) || (it->second.attributes & kReadOnly) != 0) return platform::kErrorAccessDenied;
    files_.erase(it);
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::ClearFileAttributes(const char* path) {
    std::uint32_t error = 0;
    if (Intercept(Op::ClearFileAttributes, path, &error)) return error;
    const std::string folded = Fold(path);
    auto it = files_.find(folded);
    if (it != files_.end()) {
        it->second.attributes &= ~(kReadOnly | kHidden | kSystem);
        return platform::kErrorSuccess;
    }
    return directories_.count(folded) != 0 ? platform::kErrorSuccess : AbsentError(folded);
}

std::uint32_t FakePlatform::CheckReplaceable(const char* path) {
    std::uint32_t error = 0;
    if (Intercept(Op::CheckReplaceable, path, &error)) return error;
    const std::string folded = Fold(path);
    if (directories_.count(folded) != 0) return platform::kErrorAccessDenied;
    auto it = files_.find(folded);
    if (it == files_.end()) return platform::kErrorFileNotFound;
    auto block = blocked_.find(folded);
    if (block != blocked_.end()) return block->second;
    if (IsLoaded(folded)) return platform::kErrorSharingViolation;
    return (it->second.attributes & kReadOnly) != 0 ? platform::kErrorAccessDenied : platform::kErrorSuccess;
}

std::uint32_t FakePlatform::MoveFileOver(const char* from, const char* to) {
    std::uint32_t error = 0;
    if (Intercept(Op::MoveFileOver, std::string(from) + " -> " + to, &error)) return error;
    auto source = files_.find(Fold(from));
    if (source == files_.end()) return platform::kErrorFileNotFound;
    if (IsOpened(source->first)) return platform::kErrorSharingViolation;
    const std::string target = Fold(to);
    error = TargetRefusal(target);
    if (error != platform::kErrorSuccess) return error;
    auto existing = files_.find(target);
    if (existing != files_.end() && (IsLoaded(target) || (existing->second.attributes & kReadOnly) != 0)) {
        return platform::kErrorAccessDenied;
    }
    // A loaded library stays loaded under its new name.
    for (auto& entry : libraries_) {
        if (Fold(entry.second.path) == source->first) entry.second.path = to;
    }
    const File moved = source->second;
    files_.erase(source);
    files_[target] = moved;
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::DeleteAtRestart(const char* path) {
    std::uint32_t error = 0;
    if (Intercept(Op::DeleteAtRestart, path, &error)) return error;
    deletesAtRestart.push_back(path);
    return platform::kErrorSuccess;
}

std::vector<std::string> FakePlatform::FilesIn(const std::string& folder) const {
    std::vector<std::string> names;
    const std::string prefix = Fold(folder) + "\\";
    for (const auto& entry : files_) {
        if (entry.first.compare(0, prefix.size(), prefix) == 0 &&
            entry.first.find('\\', prefix.size()) == std::string::npos) {
            names.push_back(entry.first.substr(prefix.size()));
        }
    }
    return names;
}

std::uint32_t FakePlatform::FindLinkInPath(const char* folder) {
    std::uint32_t error = 0;
    if (Intercept(Op::FindLinkInPath, folder, &error)) return error;
    for (std::string part = Fold(folder); !part.empty(); part = ParentOf(part)) {
        if (linkedFolders.count(part) != 0) return platform::kErrorReparsePoint;
    }
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::OpenComponent(const char* path, bool deletable, platform::FileHandle* file) {
    std::uint32_t error = 0;
    if (Intercept(Op::OpenComponent, path, &error)) return error;
    const std::string folded = Fold(path);
    auto it = files_.find(folded);
    if (it == files_.end()) return AbsentError(folded);
    if (it->second.reparsePoint) return platform::kErrorReparsePoint;
    if (it->second.names > 1) return platform::kErrorOtherNames;
    if (IsOpened(folded) || IsLoaded(folded)) return platform::kErrorSharingViolation;
    fileHandles_[nextFile_] = OpenFile{folded, deletable, false};
    *file = reinterpret_cast<platform::FileHandle>(nextFile_);
    nextFile_ += 4;
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::CopyOpened(platform::FileHandle file, const char* destination,
                                       std::uint8_t (&digest)[32]) {
    std::uint32_t error = 0;
    if (Intercept(Op::CopyOpened, destination, &error)) return error;
    const OpenFile* opened = Opened(file);
    if (opened == nullptr) return platform::kErrorInvalidHandle;
    const std::string to = Fold(destination);
    error = TargetRefusal(to);
    if (error != platform::kErrorSuccess) return error;
    if (IsLoaded(to)) return platform::kErrorSharingViolation;  // a mapped image
    // CREATE_ALWAYS refuses a read-only file, and a hidden one that the
    // new file's attributes do not name.
    auto existing = files_.find(to);
    if (existing != files_.end() && (existing->second.attributes & (kReadOnly | kHidden)) != 0) {
        return platform::kErrorAccessDenied;
    }
    File copy = files_[opened->folded];
    copy.attributes = 0;  // a new file of the data alone
    files_[to] = copy;
    DigestOf(copy.content, digest);
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::SameBytes(platform::FileHandle file, const char* path, bool* same) {
    std::uint32_t error = 0;
    if (Intercept(Op::SameBytes, path, &error)) return error;
    const OpenFile* opened = Opened(file);
    if (opened == nullptr) return platform::kErrorInvalidHandle;
    auto it = files_.find(Fold(path));
    if (it == files_.end()) return AbsentError(Fold(path));
    *same = it->second.content == files_[opened->folded].content;
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::DeleteOpened(platform::FileHandle file) {
    std::uint32_t error = 0;
    OpenFile* opened = Opened(file);
    if (Intercept(Op::DeleteOpened, opened != nullptr ? opened->folded : "?", &error)) return error;
    if (opened == nullptr) return platform::kErrorInvalidHandle;
    // Windows deletes no read-only file, by its name or by a handle.
    if (!opened->deletable || (files_[opened->folded].attributes & kReadOnly) != 0) return platform::kErrorAccessDenied;
    opened->deleting = true;
    return platform::kErrorSuccess;
}

void FakePlatform::CloseFile(platform::FileHandle file) {
    std::uint32_t error = 0;
    (void)Intercept(Op::CloseFile, "", &error);
    if (Stopped()) return;
    const OpenFile* opened = Opened(file);
    if (opened == nullptr) return;
    if (opened->deleting) files_.erase(opened->folded);
    fileHandles_.erase(reinterpret_cast<std::uintptr_t>(file));
}

std::uint32_t FakePlatform::FolderDriveType(const char* folder) {
    std::uint32_t error = 0;
    if (Intercept(Op::FolderDriveType, folder, &error)) return 0;
    const std::string folded = Fold(folder);
    for (const auto& root : driveTypes) {
        const std::string prefix = Fold(root.first);
        if (folded.compare(0, prefix.size(), prefix) == 0 &&
            (folded.size() == prefix.size() || folded[prefix.size()] == '\\')) {
            return root.second;
        }
    }
    return platform::kDriveFixed;
}

std::uint32_t FakePlatform::FileSize(const char* path, std::uint64_t* size) {
    std::uint32_t error = 0;
    if (Intercept(Op::FileSize, path, &error)) return error;
    auto it = files_.find(Fold(path));
    if (it == files_.end()) return platform::kErrorFileNotFound;
    *size = it->second.content.size();
    return platform::kErrorSuccess;
}

void DigestOf(const std::string& content, std::uint8_t (&digest)[32]) {
    // FNV-1a over the content, once per output byte with that byte's seed.
    for (int i = 0; i < 32; ++i) {
        std::uint32_t hash = 2166136261u ^ static_cast<std::uint32_t>(i);
        for (char c : content) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        digest[i] = static_cast<std::uint8_t>(hash >> 24);
    }
}

std::uint32_t FakePlatform::FileDigest(const char* path, std::uint8_t (&digest)[32]) {
    std::uint32_t error = 0;
    if (Intercept(Op::FileDigest, path, &error)) return error;
    auto it = files_.find(Fold(path));
    if (it == files_.end()) return platform::kErrorFileNotFound;
    DigestOf(it->second.content, digest);
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::ReadFileVersion(const char* path, platform::FileVersion* version) {
    std::uint32_t error = 0;
    if (Intercept(Op::ReadFileVersion, path, &error)) return error;
    auto it = files_.find(Fold(path));
    if (it == files_.end()) return platform::kErrorFileNotFound;
    if (!it->second.hasVersion) return 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
    *version = it->second.version;
    return platform::kErrorSuccess;
}

platform::LibraryHandle FakePlatform::LoadLibraryFrom(const char* path, std::uint32_t* error) {
    if (Intercept(Op::LoadLibraryFrom, path, error)) return nullptr;
    auto it = files_.find(Fold(path));
    if (it == files_.end()) {
        *error = platform::kErrorModNotFound;
        return nullptr;
    }
    if (!it->second.library) {
        *error = platform::kErrorBadExeFormat;
        return nullptr;
    }
    for (auto& entry : libraries_) {
        if (!entry.second.elsewhere && Fold(entry.second.path) == it->first) {
            ++entry.second.references;
            *error = 0;
            return reinterpret_cast<platform::LibraryHandle>(entry.first);
        }
    }
    const std::uintptr_t handle = nextLibrary_;
    nextLibrary_ += 0x10000;
    libraries_[handle] = Library{path, it->second.library, 1};
    *error = 0;
    return reinterpret_cast<platform::LibraryHandle>(handle);
}

platform::ProcHandle FakePlatform::FindExport(platform::LibraryHandle library, const char* name) {
    std::uint32_t error = 0;
    if (Intercept(Op::FindExport, name, &error)) return nullptr;
    auto it = libraries_.find(reinterpret_cast<std::uintptr_t>(library));
    if (it == libraries_.end()) {
        ++badHandleUses;
        return nullptr;
    }
    const bool isRegister = std::strcmp(name, "DllRegisterServer") == 0;
    const bool isUnregister = std::strcmp(name, "DllUnregisterServer") == 0;
    if ((isRegister && !it->second.control->hasRegister) || (isUnregister && !it->second.control->hasUnregister) ||
        (!isRegister && !isUnregister)) {
        return nullptr;
    }
    const std::uintptr_t proc = it->first + (isRegister ? 1 : 2);
    procs_[proc] = {it->first, isRegister};
    return reinterpret_cast<platform::ProcHandle>(proc);
}

std::int32_t FakePlatform::CallExport(platform::ProcHandle proc) {
    auto it = procs_.find(reinterpret_cast<std::uintptr_t>(proc));
    std::uint32_t error = 0;
    if (Intercept(Op::CallExport, it == procs_.end() ? "?" : (it->second.second ? "register" : "unregister"),
                  &error)) {
        return static_cast<std::int32_t>(0x80070000u | (error & 0xFFFFu));  // HRESULT_FROM_WIN32
    }
    if (it == procs_.end() || libraries_.count(it->second.first) == 0) {
        ++badHandleUses;  // calling into an unloaded library would crash on Windows
        return kHresultFail;
    }
    const Library library = libraries_[it->second.first];
    if (it->second.second) {
        if (library.control->onRegister) library.control->onRegister(*this, library.path);
        return library.control->registerResult;
    }
    if (library.control->onUnregister) library.control->onUnregister(*this, library.path);
    return library.control->unregisterResult;
}

void FakePlatform::FreeLibraryHandle(platform::LibraryHandle library) {
    std::uint32_t error = 0;
    (void)Intercept(Op::FreeLibraryHandle, "", &error);
    if (Stopped()) return;
    auto it = libraries_.find(reinterpret_cast<std::uintptr_t>(library));
    if (it == libraries_.end()) {
        ++badHandleUses;
        return;
    }
    if (--it->second.references == 0) libraries_.erase(it);
}

// --- Registry ----------------------------------------------------------------

std::uint32_t FakePlatform::Lookup(RegRoot root, const std::string& path, bool create, std::shared_ptr<Key>* out) {
    std::shared_ptr<Key> key = root == RegRoot::ClassesRoot ? classesRoot_ : localMachine_;
    for (const std::string& part : SplitPath(path)) {
        if (part.size() > kMaxKeyNameLength) return platform::kErrorInvalidParameter;
        auto it = key->children.find(Fold(part));
        if (it == key->children.end()) {
            if (!create) return platform::kErrorFileNotFound;
            auto child = std::make_shared<Key>();
            child->name = part;
            child->parent = key.get();
            it = key->children.emplace(Fold(part), child).first;
        }
        key = it->second;
    }
    *out = key;
    return platform::kErrorSuccess;
}

FakePlatform::Key* FakePlatform::Handle(platform::KeyHandle key) {
    auto it = keyHandles_.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == keyHandles_.end()) {
        ++badHandleUses;
        return nullptr;
    }
    return it->second.get();
}

std::uint32_t FakePlatform::OpenKey(RegRoot root, const char* path, platform::KeyHandle* key) {
    std::uint32_t error = 0;
    if (Intercept(Op::OpenKey, RootName(root) + "\\" + path, &error)) return error;
    std::shared_ptr<Key> found;
    error = Lookup(root, path, false, &found);
    if (error != platform::kErrorSuccess) return error;
    const std::uintptr_t handle = nextHandle_;
    nextHandle_ += 4;
    keyHandles_[handle] = found;
    *key = reinterpret_cast<platform::KeyHandle>(handle);
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::CreateKey(RegRoot root, const char* path, platform::KeyHandle* key) {
    std::uint32_t error = 0;
    if (Intercept(Op::CreateKey, RootName(root) + "\\" + path, &error)) return error;
    // Validate every name before creating anything, as the real call does.
    for (const std::string& part : SplitPath(path)) {
        if (part.size() > kMaxKeyNameLength) return platform::kErrorInvalidParameter;
    }
    std::shared_ptr<Key> found;
    error = Lookup(root, path, true, &found);
    if (error != platform::kErrorSuccess) return error;
    const std::uintptr_t handle = nextHandle_;
    nextHandle_ += 4;
    keyHandles_[handle] = found;
    *key = reinterpret_cast<platform::KeyHandle>(handle);
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::SetString(platform::KeyHandle key, const char* name, const char* text,
                                      TextCoding coding) {
    std::uint32_t error = 0;
    if (Intercept(Op::SetString, name, &error)) return error;
    Key* target = Handle(key);
    if (target == nullptr) return platform::kErrorInvalidHandle;
    if (target->deleted) return platform::kErrorKeyDeleted;
    target->values[Fold(name)] = {name, Value{text, coding}};
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::SetDword(platform::KeyHandle key, const char* name, std::uint32_t value) {
    std::uint32_t error = 0;
    if (Intercept(Op::SetDword, name, &error)) return error;
    Key* target = Handle(key);
    if (target == nullptr) return platform::kErrorInvalidHandle;
    if (target->deleted) return platform::kErrorKeyDeleted;
    Value stored;
    stored.isDword = true;
    stored.dword = value;
    target->values[Fold(name)] = {name, stored};
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::QueryValue(platform::KeyHandle key, const char* name) {
    std::uint32_t error = 0;
    if (Intercept(Op::QueryValue, name, &error)) return error;
    Key* target = Handle(key);
    if (target == nullptr) return platform::kErrorInvalidHandle;
    if (target->deleted) return platform::kErrorKeyDeleted;
    return target->values.count(Fold(name)) != 0 ? platform::kErrorSuccess : platform::kErrorFileNotFound;
}

std::uint32_t FakePlatform::DeleteValue(platform::KeyHandle key, const char* name) {
    std::uint32_t error = 0;
    if (Intercept(Op::DeleteValue, name, &error)) return error;
    Key* target = Handle(key);
    if (target == nullptr) return platform::kErrorInvalidHandle;
    if (target->deleted) return platform::kErrorKeyDeleted;
    return target->values.erase(Fold(name)) != 0 ? platform::kErrorSuccess : platform::kErrorFileNotFound;
}

std::uint32_t FakePlatform::QueryKeyInfo(platform::KeyHandle key, char* classBuffer, std::uint32_t classSize,
                                         std::uint32_t* subKeys) {
    std::uint32_t error = 0;
    if (Intercept(Op::QueryKeyInfo, "", &error)) return error;
    Key* target = Handle(key);
    if (target == nullptr) return platform::kErrorInvalidHandle;
    if (target->deleted) return platform::kErrorKeyDeleted;
    if (classSize > 0) classBuffer[0] = '\0';
    *subKeys = static_cast<std::uint32_t>(target->children.size());
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::EnumSubKey(platform::KeyHandle key, std::uint32_t index, char* name,
                                       std::uint32_t size) {
    std::uint32_t error = 0;
    if (Intercept(Op::EnumSubKey, std::to_string(index), &error)) return error;
    Key* target = Handle(key);
    if (target == nullptr) return platform::kErrorInvalidHandle;
    if (target->deleted) return platform::kErrorKeyDeleted;
    if (index >= target->children.size()) return platform::kErrorNoMoreItems;
    // The map is walked from its nearer end, so enumerating from the last
    // position down, as the engine does, costs one step per call and the
    // stand-in does not hide the walk's own cost behind its own.
    const std::size_t count = target->children.size();
    auto it = index < count / 2 ? std::next(target->children.begin(), static_cast<std::ptrdiff_t>(index))
                                : std::prev(target->children.end(), static_cast<std::ptrdiff_t>(count - index));
    const std::string& childName = it->second->name;
    if (childName.size() + 1 > size) return platform::kErrorMoreData;
    std::memcpy(name, childName.c_str(), childName.size() + 1);
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::DeleteKey(RegRoot root, const char* path) {
    std::uint32_t error = 0;
    if (Intercept(Op::DeleteKey, RootName(root) + "\\" + path, &error)) return error;
    if (SplitPath(path).empty()) return platform::kErrorAccessDenied;  // a root cannot be deleted
    std::shared_ptr<Key> found;
    error = Lookup(root, path, false, &found);
    if (error != platform::kErrorSuccess) return error;
    if (!found->children.empty()) return platform::kErrorAccessDenied;
    found->deleted = true;
    found->values.clear();
    found->parent->children.erase(Fold(found->name));
    deletedKeys.push_back(RootName(root) + "\\" + path);
    return platform::kErrorSuccess;
}

std::uint32_t FakePlatform::FlushKey(platform::KeyHandle key) {
    std::uint32_t error = 0;
    if (Intercept(Op::FlushKey, "", &error)) return error;
    Key* target = Handle(key);
    if (target == nullptr) return platform::kErrorInvalidHandle;
    return target->deleted ? platform::kErrorKeyDeleted : platform::kErrorSuccess;
}

void FakePlatform::CloseKey(platform::KeyHandle key) {
    std::uint32_t error = 0;
    (void)Intercept(Op::CloseKey, "", &error);
    if (Stopped()) return;
    if (keyHandles_.erase(reinterpret_cast<std::uintptr_t>(key)) == 0) ++badHandleUses;
}

void FakePlatform::ShowMessage(platform::OwnerWindow owner, const char* text949, const char* caption949) {
    std::uint32_t error = 0;
    (void)Intercept(Op::ShowMessage, text949, &error);
    if (Stopped()) return;
    messages.push_back(Message{owner, text949, caption949});
}

void FakePlatform::Pause(std::uint32_t milliseconds) {
    std::uint32_t error = 0;
    (void)Intercept(Op::Pause, std::to_string(milliseconds), &error);
}

std::uint32_t FakePlatform::LocalDate() {
    std::uint32_t error = 0;
    (void)Intercept(Op::LocalDate, "", &error);
    return today;
}

void FakePlatform::Note(const char* event, const char* subject) {
    std::uint32_t error = 0;
    (void)Intercept(Op::Note, subject != nullptr ? std::string(event) + " " + subject : std::string(event), &error);
}

}  // namespace fake
