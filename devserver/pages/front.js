// What the sample pages share: building the page from script, reading the back end, the hash routes and
// the app's bridge "app".

var lastCall = "";  // the last bridge call the page made, for whoever drives it

function record(call) {
    lastCall = call;
    console.log(document.title + ": " + call);
}

// The address of a sibling page; the bridge's push wants an absolute http(s) address.
function pageUrl(name) {
    var here = String(location.href).split("#")[0].split("?")[0];
    return here.substring(0, here.lastIndexOf("/") + 1) + name;
}

// Runs `use` once the app's bridge is in the page (at once when it already is); gives up after 5 s, as in
// a plain browser.
function withBridge(use, triesLeft) {
    if (typeof app !== "undefined") return use();
    if (triesLeft === undefined) triesLeft = 100;
    if (triesLeft > 0) setTimeout(function () { withBridge(use, triesLeft - 1); }, 50);
}

// An element with attributes (a function is an event handler: onclick) and children (texts or elements).
function el(tag, attributes, children) {
    var node = document.createElement(tag);
    Object.keys(attributes || {}).forEach(function (name) {
        var value = attributes[name];
        if (typeof value === "function") node.addEventListener(name.replace(/^on/, ""), value);
        else node.setAttribute(name, value);
    });
    [].concat(children === undefined ? [] : children).forEach(function (child) {
        node.appendChild(typeof child === "string" ? document.createTextNode(child) : child);
    });
    return node;
}

// A row of buttons from [title, action] pairs.
function buttons(pairs) {
    return el("p", {}, pairs.map(function (pair) {
        return el("button", {type: "button", onclick: pair[1]}, pair[0]);
    }));
}

// Reads JSON from the back end. `done` gets a reply that says it worked (errCode 0); `failed` gets why
// not, in words. With a token the request says who is asking.
function getJSON(path, done, failed, token) {
    var request = new XMLHttpRequest();
    request.open("GET", path);
    request.timeout = 10000;
    if (token) request.setRequestHeader("Authorization", "Bearer " + token);
    request.onload = function () {
        var reply = null;
        try { reply = JSON.parse(request.responseText); } catch (e) { reply = null; }
        if (reply && reply.errCode === 0) done(reply);
        else failed(reply && reply.errInfo ? reply.errInfo : "the back end answered " + request.status);
    };
    request.onerror = function () { failed("the back end cannot be reached"); };
    request.ontimeout = function () { failed("the back end did not answer"); };
    request.send();
}

// Shows the route the hash names in a fresh <main>, now and whenever the hash changes. `routes` maps
// "#/name" to function (main, rest): "#/notice/2" is the route "#/notice" with rest "2"; an unknown or
// empty hash is "#/".
function startRouting(routes) {
    function show() {
        var parts = (location.hash || "#/").split("/");
        var route = routes["#/" + (parts[1] || "")] || routes["#/"];
        var old = document.querySelector("main");
        var main = el("main");
        if (old) old.replaceWith(main);
        else document.body.appendChild(main);
        route(main, parts.slice(2).join("/"));
    }
    window.addEventListener("hashchange", show);
    show();
}
