// The dashboard's HTTP server (see server.h).
#include "serve/server.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include <httplib.h>

#include "serve/api.h"
#include "serve/page_html.h"

namespace wqserve {

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kNoncePlaceholder = "__NONCE__";

void SendError(httplib::Response& res, int status, const std::string& text) {
  Reply r = Api::Error(status, text);
  res.status = r.status;
  res.set_content(r.body, kJson);
}

// The page with this response's nonce in its <style> and <script> tags.
// The policy lets only those run: even a text that slipped into the
// markup could neither run a script nor load anything from elsewhere.
void SendPage(httplib::Response& res) {
  const std::string nonce = RandomHex(16);
  std::string page = kPageHtml;
  for (size_t at = page.find(kNoncePlaceholder); at != std::string::npos;
       at = page.find(kNoncePlaceholder, at + nonce.size()))
    page.replace(at, std::strlen(kNoncePlaceholder), nonce);
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" +
                     nonce + "'; connect-src 'self'; img-src 'self' data:; base-uri 'none'; "
                     "form-action 'none'; frame-ancestors 'none'");
  res.set_content(page, "text/html; charset=utf-8");
}

}  // namespace

struct Server::Impl {
  explicit Impl(ServeConfig c)
      : config(std::move(c)),
        api(config.queues, config.dataDir, config.tavloBinary) {}

  // Serves one API call, or 503 when kMaxInFlight are already being served.
  template <typename Fn>
  void Call(httplib::Response& res, Fn fn) {
    if (inFlight.fetch_add(1) >= kMaxInFlight) {
      inFlight.fetch_sub(1);
      res.set_header("Retry-After", "1");
      SendError(res, 503, "busy: too many requests at once, try again");
      return;
    }
    struct Release {
      std::atomic<int>& n;
      ~Release() { n.fetch_sub(1); }
    } release{inFlight};
    Reply r = fn();
    res.status = r.status;
    if (!r.nextAfter.empty()) res.set_header("X-Next-After", r.nextAfter);
    res.set_content(r.body, kJson);
  }

  void Routes() {
    http.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"Cache-Control", "no-store"},
                              {"X-Frame-Options", "DENY"}});
    http.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    // Requests are short GETs: no body, quick to send, or the connection
    // goes so that a slow or idle client cannot hold a thread long.
    http.set_payload_max_length(4096);
    http.set_read_timeout(5, 0);
    http.set_write_timeout(5, 0);
    http.set_keep_alive_timeout(2);
    http.set_keep_alive_max_count(100);
    // httplib's default also sets SO_REUSEPORT, which lets a second server
    // take the same port and the kernel share the connections out between
    // the two: a page could get another server's queues.  SO_REUSEADDR
    // alone still allows a restart while old connections linger.
    http.set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (req.method != "GET" && req.method != "HEAD") {
        res.set_header("Allow", "GET, HEAD");
        SendError(res, 405, "read-only: only GET and HEAD");
        return httplib::Server::HandlerResponse::Handled;
      }
      std::string cookie;
      const bool isPage = req.path == "/";
      switch (gate->Check(req.get_header_value("Host"), req.get_header_value("Authorization"),
                         req.get_header_value("Cookie"), isPage,
                         isPage ? req.get_param_value("code") : "", &cookie)) {
        case Gate::Verdict::kAllow:
          return httplib::Server::HandlerResponse::Unhandled;
        case Gate::Verdict::kBadHost:
          SendError(res, 403, "this server answers only at http://" +
                                  config.listen.HostPort() + "/");
          return httplib::Server::HandlerResponse::Handled;
        case Gate::Verdict::kNoAuth:
          res.set_header("WWW-Authenticate", "Bearer");
          SendError(res, 401, "log in with the address wqadmin serve printed, or send "
                              "Authorization: Bearer <token>");
          return httplib::Server::HandlerResponse::Handled;
        case Gate::Verdict::kLoggedIn:
          res.set_header("Set-Cookie", cookie);
          res.set_redirect("/", 303);  // the code leaves the address bar
          return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Handled;
    });

    http.Get("/", [](const httplib::Request&, httplib::Response& res) { SendPage(res); });
    http.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) {
      res.status = 204;
    });
    auto api_route = [this](const char* pattern, Reply (Api::*method)(const Params&)) {
      http.Get(pattern, [this, method](const httplib::Request& req, httplib::Response& res) {
        Call(res, [&] { return (api.*method)(req.params); });
      });
    };
    api_route("/api/queues", &Api::Queues);
    api_route("/api/stats", &Api::Stats);
    api_route("/api/shape", &Api::Shape);
    api_route("/api/list", &Api::List);
    api_route("/api/tasks", &Api::Tasks);
    api_route("/api/progress", &Api::Progress);
    http.Get(R"(/api/show/([^/]*))", [this](const httplib::Request& req, httplib::Response& res) {
      Call(res, [&] { return api.Show(req.matches[1].str(), req.params); });
    });

    // Whatever httplib answers by itself (no route: 404; a request it
    // cannot parse: 400; too long: 414) gets a JSON body too.
    http.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& res) {
      if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
      SendError(res, res.status,
                res.status == 404   ? "no such page or endpoint"
                : res.status == 414 ? "request line too long"
                : res.status == 413 ? "request too large"
                : res.status == 400 ? "bad request"
                                    : "request refused (HTTP " + std::to_string(res.status) + ")");
      return httplib::Server::HandlerResponse::Handled;
    }));
    http.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
          SendError(res, 500, "internal error");
        });
  }

  ServeConfig config;
  Api api;
  std::unique_ptr<Gate> gate;  // made by Bind, which knows the port
  httplib::Server http;
  std::atomic<int> inFlight{0};
  int port = 0;
};

Server::Server(ServeConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {
  impl_->Routes();
}

Server::~Server() = default;

bool Server::Bind(std::string* error) {
  const ListenAddress& a = impl_->config.listen;
  if (a.port == 0) {
    impl_->port = impl_->http.bind_to_any_port(a.host);
  } else if (impl_->http.bind_to_port(a.host, a.port)) {
    impl_->port = a.port;
  } else {
    impl_->port = -1;
  }
  if (impl_->port <= 0) {
    *error = "cannot listen on " + a.HostPort() + ": " + std::strerror(errno);
    return false;
  }
  // The Host check compares with the address as printed, port included.
  impl_->config.listen.port = impl_->port;
  impl_->gate = std::make_unique<Gate>(impl_->config.listen.HostPort(), a.loopback,
                                       impl_->config.token);
  return true;
}

std::string Server::Url() const {
  std::string url = "http://" + impl_->config.listen.HostPort() + "/";
  if (impl_->gate->TokenMode()) url += "?code=" + impl_->gate->LoginCode();
  return url;
}

int Server::Port() const { return impl_->port; }

bool Server::Run() {
  // The first count of a large queue takes seconds: it runs while the
  // server already answers, so the page that opens next finds it done.
  std::thread warm([this] { impl_->api.Warm(); });
  const bool ok = impl_->http.listen_after_bind();
  warm.join();
  return ok;
}

void Server::Stop() { impl_->http.stop(); }

}  // namespace wqserve
