#include "language/ssp_file_object.h"

#include "foundation/ascii_text.h"
#include "foundation/file_helpers.h"
#include "foundation/script_error.h"
#include "language/request_object.h"
#include "language/ssp_engine.h"
#include "platform/child_process.h"
#include "platform/file_system.h"

#include <algorithm>
#include <climits>
#include <new>

namespace {

constexpr int kMsgOutOfMemoryUpload = 30;    // "Out of memory when copying uploaded data."
constexpr int kMsgUnknownUploadMember = 71;  // "Unknown file upload field: "
constexpr const char* kNoParentheses = "This is supposed to be a function call but it doesn't have the () at the end. ";
constexpr const char* kUploadCall = "Calling a function in an uploaded file is not allowed.";
constexpr const char* kCallFailed = "Function call failed.";
constexpr int kDefaultRunTimeoutMs = 30000;

// The browser names the file: its folders are gone, but the name may still be "." or "..", or
// hold control bytes, and scripts build file names and header lines from it.
void MakeSafeFileName(std::string& name)
{
    bool folderName = name == "." || name == "..";
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || folderName)
            c = '_';
    }
}

}  // namespace

CSspFileObject::CSspFileObject(CSspEngine& engine) : m_engine(engine)
{}

CSspFileObject::~CSspFileObject() = default;

void CSspFileObject::SetPath(std::string_view path, bool relative)
{
    m_upload = false;
    std::vector<unsigned char>().swap(m_data);
    CSspEngine::CScriptFileName name;
    if (relative) {
        name = m_engine.ResolveScriptFile(path, !path.empty() && (path.front() == '/' || path.front() == '\\'));
    } else {
        std::string disk(path.substr(0, path.find('\0')));
        std::replace(disk.begin(), disk.end(), '\\', '/');
        name.url = CanonicalizeRelativePath(std::string(path));
        name.file = CanonicalizeRelativePath(disk);
    }
    m_fileName = std::move(name.url);
    m_filePath = std::move(name.file);
}

int CSspFileObject::LoadUpload(const CSspRequestObject& request, std::string_view field)
{
    m_upload = true;
    m_fileName.clear();
    m_filePath.clear();
    int result = request.GetUploadedFile(field, m_fileName, m_data);
    MakeSafeFileName(m_fileName);
    return result;
}

void CSspFileObject::CallMember(CSspCall& call, CSspValue& result)
{
    const std::string& member = call.m_member;
    if (EqualsNoCase(member, "data") || EqualsNoCase(member, "content"))
        return ReadData(call, result);
    if (EqualsNoCase(member, "name")) {
        result.SetString(m_fileName);
        return;
    }
    if (EqualsNoCase(member, "size"))
        return ReadSize(call, result);
    if (m_upload)
        throw CSspException(CMessageCatalog::Text(kMsgUnknownUploadMember) + member, call.m_position);
    if (EqualsNoCase(member, "run"))
        return Run(call, result);
    CallFunction(call, result, nullptr);
}

void CSspFileObject::ReadData(const CSspCall& call, CSspValue& result)
{
    if (m_upload) {
        try {
            result.SetBinary(m_data.data(), m_data.size());
        } catch (const std::bad_alloc&) {
            RaiseCatalogText(kMsgOutOfMemoryUpload, call.m_position);
        }
        return;
    }
    CSourceFileCache& files = m_engine.SourceFiles();
    CSourceFile* file = files.Get(m_filePath);
    if (file == nullptr)
        throw CSspException(files.ErrorText(), call.m_position);
    try {
        result.SetBinary(file->Text().data(), file->Text().size());
    } catch (const std::bad_alloc&) {
        RaiseCatalogText(kMsgOutOfMemory, call.m_position);
    }
}

void CSspFileObject::ReadSize(const CSspCall& call, CSspValue& result)
{
    if (m_upload) {
        result.SetInteger(static_cast<int>(m_data.size()));
        return;
    }
    // Read through the same cache as data, so the size answers before any function of the file ran.
    CSourceFileCache& files = m_engine.SourceFiles();
    CSourceFile* file = files.Get(m_filePath);
    if (file == nullptr)
        throw CSspException(files.ErrorText(), call.m_position);
    result.SetInteger(file->Size());
}

void CSspFileObject::CallFunction(CSspCall& call, CSspValue& result, CSspValueList* returnedValues)
{
    if (!call.m_hasParentheses)
        throw CSspException(kNoParentheses, call.m_position);
    if (m_upload)
        throw CSspException(kUploadCall, call.m_position);
    result.SetString(std::string());
    std::string_view function = call.m_member;
    if (EqualsNoCase(function, "sspRun"))
        function = {};

    std::unique_ptr<CSspEngine> spare;
    CSspEngine* child = nullptr;
    try {
        child = &m_engine.ChildForCall(m_child, spare);
    } catch (const std::bad_alloc&) {
        throw CSspException(kCallFailed, call.m_position);
    }

    CSspRunArgs args{.filePath = m_filePath,
                     .urlPath = m_fileName,
                     .request = m_engine.Request(),
                     .response = m_engine.Response(),
                     .functionName = function,
                     .callArguments = &call.m_args,
                     .returnSlot = &result,
                     .returnedValues = returnedValues};
    m_engine.RunNested(*child, args, call.m_position);
}

void CSspFileObject::Run(const CSspCall& call, CSspValue& result)
{
    // No shell is involved: the file is the program, and argument 0 is split into its arguments
    // as a command line would be.
    std::vector<std::string> arguments{m_filePath};
    if (call.ParamCount() > 0) {
        for (std::string& argument : SplitCommandLine(call.GetParamStr(0)))
            arguments.push_back(std::move(argument));
    }
    long long timeoutMs = kDefaultRunTimeoutMs;
    if (call.ParamCount() > 1)
        timeoutMs = static_cast<long long>(call.GetParamInt32(1)) * 1000;
    // A negative time-out waits not at all rather than for ever.
    timeoutMs = std::clamp(timeoutMs, 0LL, static_cast<long long>(INT_MAX));

    CChildProcess program;
    if (int error = program.Start(arguments); error != 0) {
        result.SetString(GetSystemErrorText(error));
        return;
    }
    int exitCode = 0;
    if (!program.Wait(static_cast<int>(timeoutMs), exitCode)) {
        result.SetString("timeout");
        return;
    }
    result.SetString(std::to_string(exitCode));
}
