// The request handlers of a CRUD router and its client dependency: coroutine functions whose
// closure is the router object.
#pragma once

#include "native/function.hpp"

namespace kelvora::rowplane {

FunctionSpec client_dependency_spec();
FunctionSpec create_record_spec();
FunctionSpec list_records_spec();
FunctionSpec get_record_spec();
FunctionSpec update_record_spec();
FunctionSpec delete_record_spec();
FunctionSpec get_record_history_spec();

} // namespace kelvora::rowplane
