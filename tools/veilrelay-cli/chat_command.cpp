#include "chat_command.hpp"

#include "exit_codes.hpp"
#include "payload.hpp"
#include "run_sync.hpp"
#include "terminal.hpp"
#include "terminal_text.hpp"
#include "text_input.hpp"

#include <ossara/Veilrelay.hpp>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include <cstdio>
#include <exception>
#include <istream>
#include <ostream>

namespace veilrelay_cli {

namespace {

std::string message_from_stdin(std::istream& in) {
    if (is_terminal(stdin)) {
        std::fprintf(stderr, "veilrelay: reading the message from standard input; end it with %s\n", kEndOfInputKey);
        std::fflush(stderr);
    }
    std::string message = read_all(in);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    return message;
}

ossara::json build_payload(const ChatOptions& options, std::istream& in) {
    if (options.payload_file)
        return payload_from_file(*options.payload_file,
                                 options.model_given ? std::optional<std::string>(options.model) : std::nullopt);
    const std::string message = options.message ? *options.message : message_from_stdin(in);
    if (message.empty())
        throw UsageError("no message: give it as an argument, on standard input, or as a payload with --payload FILE");
    return chat_payload(options.model, message);
}

// The model's text on its way to `out`: shown terminal-safe, piece by piece,
// unless --raw asks for the exact bytes.
class AnswerWriter {
public:
    AnswerWriter(std::ostream& out, bool raw) : out_(out), raw_(raw) {}

    void write(std::string text) {
        if (raw_) {
            out_ << text;
        } else {
            std::string shown;
            shown_.write(text, shown);
            out_ << shown;
            wipe(shown);
        }
        wipe(text);
    }

    // Ends the text with its line break (a sequence cut short is shown as such).
    void finish() {
        std::string shown;
        if (!raw_) shown_.finish(shown);
        out_ << shown << '\n';
    }

private:
    std::ostream& out_;
    bool raw_;
    TerminalText shown_;
};

// A JSON text for `out`: JSON escaping covers the C0 controls; DEL and the C1
// controls are escaped too.
void write_json(std::ostream& out, const ossara::json& value, int indent) {
    std::string dumped = value.dump(indent);
    std::string text = terminal_safe_json(dumped);
    out << text << '\n';
    wipe(dumped);
    wipe(text);
}

asio::awaitable<void> print_stream(ossara::Veilrelay& client, ossara::json payload, std::optional<std::string> api_key,
                                   std::optional<std::string> tier, bool json_output, bool raw, std::ostream& out) {
    ossara::SecureStream stream =
        co_await client.open_secure_stream(std::move(payload), new_payload_id(), std::move(api_key), std::move(tier));
    AnswerWriter text(out, raw);
    std::exception_ptr failure;
    try {
        while (const std::optional<ossara::json> chunk = co_await stream.next()) {
            if (json_output)
                write_json(out, *chunk, -1);
            else
                text.write(stream.streamed() ? chunk_text(*chunk) : answer_text(*chunk));
            out.flush();  // each piece as soon as it is verified
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // The text so far ends its line, also when an error cuts it short.
    if (!json_output) text.finish();
    out.flush();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

void run_chat(ChatOptions options, std::istream& in, std::ostream& out) {
    // Refuse plain HTTP before anything slow happens (key generation takes
    // seconds); the library would refuse it too, at its first request.
    if (!options.router_url.starts_with("https://") && !options.allow_http)
        throw ossara::SecurityError("the router URL '" + options.router_url + "' does not use HTTPS");
    if (options.ca_file && !std::filesystem::is_regular_file(*options.ca_file))
        throw std::filesystem::filesystem_error("CA file not found", *options.ca_file,
                                                std::make_error_code(std::errc::no_such_file_or_directory));

    const ossara::json payload = build_payload(options, in);
    std::optional<std::string> api_key =
        options.api_key_file ? std::optional<std::string>(read_secret_file(*options.api_key_file, "API key"))
                             : std::move(options.api_key);
    const WipeOnExit wipe_api_key(api_key);

    ossara::Veilrelay client(options.router_url, options.allow_http);
    if (options.ca_file) client.set_ca_file(options.ca_file->string());
    apply_router_access(client, options.access);

    // Ask the router for its key first: an unreachable router is reported as
    // such (the exchange itself would only say that encryption failed), and
    // before seconds are spent on generating a key pair.
    asio::io_context io;
    run_sync(io, client.fetch_server_public_key());

    provide_keys(client, options.keys, options.animate_progress);

    if (options.stream) {
        run_sync(io, print_stream(client, payload, api_key, options.tier, options.json_output, options.raw_output, out));
        return;
    }
    const ossara::json answer =
        run_sync(io, client.send_secure_request(payload, new_payload_id(), api_key, options.tier));
    if (options.json_output) {
        write_json(out, answer, 2);
    } else {
        AnswerWriter text(out, options.raw_output);
        text.write(answer_text(answer));
        text.finish();
    }
    out.flush();
}

}  // namespace veilrelay_cli
