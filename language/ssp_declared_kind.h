// The kinds of objects a script declares, and the seam through which kinds whose objects live in
// libraries above the interpreter (the mail objects email_in and email_out) plug in. The
// interpreter must not link those libraries, so each registers a factory for its kind at program
// start, before any run, and the declaration statement makes and initialises its objects through
// that factory. Declaring a kind for which the running program registered no factory raises the
// catalogue's "The program that runs this script makes no objects of the kind: <kind>".
#pragma once

#include "foundation/ssp_call.h"
#include "foundation/ssp_script_object.h"

#include <memory>

// Kinds of objects a script declares, in the order in which the member dispatch searches them.
enum : int
{
    kSqlObject,
    kFileObject,
    kArrayObject,
    kEmailInObject,
    kEmailOutObject,
    kDateTimeObject,
    kTokenizerObject,
    kLdapObject,
    kObjectKindCount,
};

class CSspDeclaredKind
{
public:
    virtual ~CSspDeclaredKind() = default;

    // A new object of the kind, as a fresh declaration finds it. A failed allocation throws
    // std::bad_alloc; the interpreter turns that into the kind's out-of-memory text.
    virtual std::unique_ptr<CSspScriptObject> Create() const = 0;
    // Whether the arguments in parentheses after the declared name are evaluated. When not, their
    // tokens are passed over unevaluated, so calls among them have no effect.
    virtual bool EvaluatesArguments() const = 0;
    // Runs each time the declaration runs, on the new object or on the one that an earlier pass
    // of the same declaration made: starts it afresh and applies the arguments. In `arguments`,
    // m_hasParentheses tells whether the declaration had any, m_position is the keyword's place.
    // Script errors are thrown as CSspException.
    virtual void Initialize(CSspScriptObject& object, const CSspCall& arguments) const = 0;
};

// Installs the factory of a declared kind (kEmailInObject, ...); null removes it. The factory must
// outlive every run that may use it. Runs on other threads see the change, but registering is
// meant for program start.
void RegisterDeclaredKind(int kind, const CSspDeclaredKind* factory);
// The factory of a kind, or null when none was registered.
const CSspDeclaredKind* FindDeclaredKind(int kind);
