(function () {
  if (window.__vrlLauncher) return;
  window.__vrlLauncher = "";
  window.__vrlTok = "";
  var HOST = "";

  // The game host's asset files, rewritten to its gated path on https, or null.
  function gated(u) {
    try {
      var url = new URL(String(u), location.href);
      if (url.hostname !== HOST) return null;
      if (/^\/act_web_tiyan\//.test(url.pathname) && /\.(swf|dat)$/i.test(url.pathname)) {
        url.protocol = "https:";
        url.port = "";
        url.pathname = "/g" + url.pathname;
        return url.toString();
      }
      return null;
    } catch (e) {
      return null;
    }
  }

  var oFetch = window.fetch;
  window.fetch = function (input, init) {
    var url;
    if (typeof input === "string" || input instanceof URL) url = String(input);
    else if (input) url = input.url;
    var g = url === undefined ? null : gated(url);
    if (g === null) return oFetch.apply(this, arguments);
    // Only the Request's address and headers carry over; its method and body do not.
    var copy = Object.assign({}, init);
    var headers = new Headers(copy.headers ? copy.headers : input.headers ? input.headers : undefined);
    headers.set("X-VRL-T", window.__vrlTok);
    copy.headers = headers;
    return oFetch.call(this, g, copy);
  };

  var oOpen = XMLHttpRequest.prototype.open;
  XMLHttpRequest.prototype.open = function (m, u) {
    var g = gated(u);
    this.__vrlG = g !== null;
    if (g === null) return oOpen.apply(this, arguments);
    var args = Array.prototype.slice.call(arguments);
    args[1] = g;
    return oOpen.apply(this, args);
  };

  var oSend = XMLHttpRequest.prototype.send;
  XMLHttpRequest.prototype.send = function () {
    // The token of the moment of sending: a refresh between open and send counts.
    if (this.__vrlG === true) this.setRequestHeader("X-VRL-T", window.__vrlTok);
    return oSend.apply(this, arguments);
  };

  var OWS = window.WebSocket;
  var WS = function (u, p) {
    try {
      var url = new URL(String(u), location.href);
      if (url.hostname === HOST && url.pathname === "/ws/game") {
        url.protocol = "wss:";
        url.port = "";
        url.pathname = "/g/ws/game";
        url.searchParams.set("t", window.__vrlTok);
        u = url.toString();
      }
    } catch (e) {}
    // Returning the socket makes WS work with and without new.
    return p === undefined ? new OWS(u) : new OWS(u, p);
  };
  WS.prototype = OWS.prototype;
  WS.CONNECTING = 0;
  WS.OPEN = 1;
  WS.CLOSING = 2;
  WS.CLOSED = 3;
  window.WebSocket = WS;

  document.addEventListener("contextmenu", function (e) { e.preventDefault(); }, true);
  document.addEventListener("dragstart", function (e) { e.preventDefault(); }, true);
})();
