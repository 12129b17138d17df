// Texts of the module itself: its docstrings, version and the panic exception's
// docstring. Each callable's docstring lives beside its binding instead.
#pragma once

namespace qm::doc {

// The definition's docstring is replaced by kModule during the exec step.
inline constexpr char kModuleDefinition[] = "The native module — `import quorvex_micro`.";
inline constexpr char kModule[] = "Quorvex Micro-Kernel — lock-free hormonal bus + context apoptosis.";
// From pyproject.toml, through the build: the one place the version is written.
inline constexpr char kVersion[] = QM_VERSION;

inline constexpr char kPanicException[] =
    "Raised when native code called from Python fails unexpectedly.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it normally propagates all the way up and ends the interpreter instead\n"
    "of being swallowed by a plain `except Exception`.";

}  // namespace qm::doc
