// The tables that Tarnwick Server keeps its own data in (the settings table and the unique-ID
// counters), as the table-creation scripts of the installation's data folder make them. A new
// database lacks them until the console or the administrator runs a script; a statement that
// meets such a missing table explains which data source lacks it and how to create it.
#pragma once

#include <string>
#include <string_view>

class CDbException;
struct CDbmsTraits;

// The names of the system's own tables, in the order the scripts create them.
inline constexpr std::string_view kSystemTables[] = {"tw3_registry", "QV30_REGISTRY"};

// `text` (an error message), followed, when `error` reports a missing table that is one of the
// system's own (or `registry`, a counters table that a script named), by a sentence that says which
// data source lacks it and how to create it for the DBMS of `traits`. `connect` is the data
// source's connect string.
std::string WithMissingSystemTableHint(std::string text, const CDbException& error, const CDbmsTraits& traits,
                                       std::string_view connect, std::string_view registry = {});
