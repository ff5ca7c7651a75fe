// CSspFileObject is the object behind a script's `file` and `FileUpload` declarations. It stands
// either for a file that the browser uploaded with the request (its name and bytes) or for a file
// on the server: then it gives the file's bytes, runs functions of the file (lib.f(...), lib.sspRun()
// for the whole file) in a nested engine that it keeps for all its calls, and starts the file as a
// program (`run`). The declaring engine owns the object and outlives it.
#pragma once

#include "foundation/ssp_script_object.h"
#include "language/ssp_array.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CSspEngine;
class CSspRequestObject;

class CSspFileObject : public CSspScriptObject
{
public:
    explicit CSspFileObject(CSspEngine& engine);
    ~CSspFileObject() override;
    CSspFileObject(const CSspFileObject&) = delete;
    CSspFileObject& operator=(const CSspFileObject&) = delete;

    // Makes the object a server file. relative: a path beginning with a slash lies below the web
    // root and any other beside the declaring run's file (never outside the web root); otherwise
    // the path is a disk path as given.
    void SetPath(std::string_view path, bool relative);
    // Makes the object the file uploaded in a form field of request; returns the request's
    // kUpload result.
    [[nodiscard]] int LoadUpload(const CSspRequestObject& request, std::string_view field);

    // data and content (the bytes), name, size; for a server file also run and any function of
    // the file. Errors are thrown as CSspException at the call's position.
    void CallMember(CSspCall& call, CSspValue& result) override;
    // Runs the function call.m_member of the file (the whole file for "sspRun") in the object's
    // nested engine; its return statement fills result and, when given, returnedValues.
    void CallFunction(CSspCall& call, CSspValue& result, CSspValueList* returnedValues);

    bool IsUpload() const { return m_upload; }
    const std::string& FileName() const { return m_fileName; }
    const std::string& FilePath() const { return m_filePath; }

private:
    void ReadData(const CSspCall& call, CSspValue& result);
    void ReadSize(const CSspCall& call, CSspValue& result);
    // Starts the file as a program and waits for it: its exit code, "timeout" or the system's
    // error text.
    void Run(const CSspCall& call, CSspValue& result);

    CSspEngine& m_engine;                 // the engine that declared the object
    std::unique_ptr<CSspEngine> m_child;  // made by the first function call, reused by the later ones
    bool m_upload = false;
    std::string m_fileName;             // upload: the name the browser gave; server file: its URL path
    std::string m_filePath;             // server file: its path on disk
    std::vector<unsigned char> m_data;  // upload: the bytes
};
