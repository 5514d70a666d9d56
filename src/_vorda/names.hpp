// The Python-side vocabulary: every attribute name, dictionary key and fixed
// text the extension hands to the interpreter, each interned once for the
// process. A name is spelled as its text, `dunder_` standing for the double
// underscores and `_` for a character an identifier cannot hold (or a
// trailing one for a keyword). Braces, not parentheses: a few of these
// names are function-like macros of the C library.
#pragma once

#include "common.hpp"

namespace vorda::names {

// Attributes of the objects vorda reads.
inline Name dunder_all{"__all__"};
inline Name dunder_doc{"__doc__"};
inline Name dunder_module{"__module__"};
inline Name dunder_name{"__name__"};
inline Name dunder_qualname{"__qualname__"};
inline Name dunder_truediv{"__truediv__"};
inline Name vorda_kind{"__vorda_kind__"};
inline Name vorda_metadata{"__vorda_metadata__"};
inline Name vorda_original{"__vorda_original__"};

// Functions and classes of the standard modules.
inline Name Path{"Path"};
inline Name Signature{"Signature"};
inline Name dedent{"dedent"};
inline Name dumps{"dumps"};
inline Name empty{"empty"};
inline Name exit{"exit"};
inline Name getmembers{"getmembers"};
inline Name getsource{"getsource"};
inline Name getsourcefile{"getsourcefile"};
inline Name import_module{"import_module"};
inline Name isinstance{"isinstance"};
inline Name loads{"loads"};
inline Name major{"major"};
inline Name micro{"micro"};
inline Name minor{"minor"};
inline Name mkdir{"mkdir"};
inline Name resolve{"resolve"};
inline Name return_annotation{"return_annotation"};
inline Name signature{"signature"};
inline Name strip{"strip"};
inline Name version_info{"version_info"};

// Keyword arguments.
inline Name exist_ok{"exist_ok"};
inline Name parents{"parents"};

// Keys and texts of an asset's metadata.
inline Name asset{"asset"};
inline Name inline_{"inline"};
inline Name inputs{"inputs"};
inline Name kind{"kind"};
inline Name name{"name"};
inline Name partitions{"partitions"};
inline Name serializer{"serializer"};
inline Name values_json{"values_json"};

// The file names of a materialization.
inline Name result_json{"result.json"};
inline Name value_json{"value.json"};

// The package, and its attribute by which a caller that makes the files
// durable itself (in batches) asks materialization not to flush them.
inline Name vorda{"vorda"};
inline Name defer_flush{"_defer_flush"};

}  // namespace vorda::names
