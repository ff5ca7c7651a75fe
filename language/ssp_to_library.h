// The To object: conversions of values for output and storage (see ssp_library.h for the table
// of them) and the process-wide value cipher that scripts use to put short values into URLs and
// form fields. There is one To object per process (TheToLibrary()), used by every server and
// script thread.
//
// The cipher key is shared without a lock: the object holds an immutable CValueCipher through an
// atomic shared pointer. Each cipher or decipher takes its own reference, so a key that another
// thread destroys meanwhile stays whole until that call ends; createCipherKey installs its key
// with a compare-and-swap on "no key", so of two threads creating keys at once exactly one wins and
// the other finds a key already there, as it would have one call later.
#pragma once

#include "foundation/ssp_script_object.h"
#include "foundation/value_cipher.h"

#include <atomic>
#include <memory>

class CSspToLibrary : public CSspScriptObject
{
public:
    CSspToLibrary() = default;
    CSspToLibrary(const CSspToLibrary&) = delete;
    CSspToLibrary& operator=(const CSspToLibrary&) = delete;

    // Any member of To; an unknown one raises "Unknown conversion library "to" function: ".
    void CallMember(CSspCall& call, CSspValue& result) override;

    bool HasCipherKey() const { return m_cipher.load() != nullptr; }

private:
    void CreateCipherKey(const CSspCall& call, CSspValue& result);
    void Cipher(const CSspCall& call, CSspValue& result) const;
    void Decipher(const CSspCall& call, CSspValue& result) const;
    std::shared_ptr<const CValueCipher> RequireKey(const CSspCall& call) const;

    std::atomic<std::shared_ptr<const CValueCipher>> m_cipher;  // null while no key exists
};

// The process's To object; made on first use, with no key.
CSspToLibrary& TheToLibrary();
