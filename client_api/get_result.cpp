#include "client_api/get_result.h"

#include "ipc_tools/request_errors.h"

namespace vexil {

Result get_result(const std::function<Result()>& query, const std::function<void(std::string)>& on_error) {
    try {
        return query();
    } catch (const ipc_tools::TimeoutError& error) {
        on_error(error.what());
        return Result::timed_out;
    } catch (const ipc_tools::BadRequest& error) {
        on_error(error.what());
        return Result::bad_request;
    } catch (const ipc_tools::BadReply& error) {
        on_error(error.what());
        return Result::bad_reply;
    } catch (const ipc_tools::InvalidResponse& error) {
        on_error(error.what());
        return Result::invalid_response;
    } catch (const std::exception& error) {
        on_error(error.what());
        return Result::failed;
    }
}

}  // namespace vexil
