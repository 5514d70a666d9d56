// vorda ui: keeps the live part of the page current, and the matrix's
// selection and run button. Text from the server is already escaped HTML;
// this script sets only textContent and classes itself.
"use strict";
(function () {
  const POLL_MS = 1500;
  const live = document.getElementById("live");
  const selected = new Set();
  let etag = null;

  function token() {
    const meta = document.querySelector('meta[name="vorda-token"]');
    return meta ? meta.getAttribute("content") : "";
  }

  function markSelection() {
    document.querySelectorAll("a.c[data-p]").forEach(function (cell) {
      cell.classList.toggle("sel", selected.has(cell.getAttribute("data-p")));
    });
    const count = document.getElementById("selected-count");
    if (count) count.textContent = selected.size ? selected.size + " selected" : "";
    const button = document.getElementById("run-btn");
    if (button) button.textContent = selected.size ? "Run selected partitions" : "Run this asset";
  }

  async function refresh() {
    if (!live || document.hidden) return;
    try {
      const headers = { "X-Vorda-Live": "1" };
      if (etag) headers["If-None-Match"] = etag;
      const answer = await fetch(location.href, { headers: headers, cache: "no-store" });
      if (answer.status !== 200) return;
      etag = answer.headers.get("ETag");
      const parsed = new DOMParser().parseFromString("<div id=\"live\">" + (await answer.text()) + "</div>", "text/html");
      live.replaceChildren(...parsed.getElementById("live").childNodes);
      markSelection();
      document.body.dataset.refreshed = String(Date.now());
    } catch (e) {
      // the server is gone or busy: try again at the next tick
    }
  }
  if (live) setInterval(refresh, POLL_MS);

  // Pivot: a changed menu shows the matrix at once; rows and columns made
  // the same dimension trade places instead.
  document.querySelectorAll("form.pivot select").forEach(function (menu) {
    let before = menu.value;
    menu.addEventListener("change", function () {
      const name = menu.getAttribute("name");
      const other = name === "rows" ? menu.form.elements.cols : name === "cols" ? menu.form.elements.rows : null;
      if (other && other.value === menu.value) other.value = before;
      before = menu.value;
      menu.form.submit();
    });
  });

  // Selecting cells: in select mode a click on a cell toggles it, on a row
  // or column header toggles the whole row or column.
  const mode = document.getElementById("select-mode");
  function selecting() { return mode && mode.checked; }
  if (mode) mode.addEventListener("change", function () { document.body.classList.toggle("selecting", mode.checked); });
  document.addEventListener("click", function (event) {
    if (!selecting()) return;
    const cell = event.target.closest("a.c[data-p]");
    let cells = [];
    if (cell) {
      cells = [cell];
    } else {
      const header = event.target.closest("th.rh, th.ch");
      if (!header) return;
      if (header.classList.contains("rh")) {
        cells = Array.from(header.parentElement.querySelectorAll("a.c[data-p]"));
      } else {
        const column = Array.from(header.parentElement.children).indexOf(header);
        cells = Array.from(document.querySelectorAll("table.matrix tbody tr")).map(function (row) {
          const td = row.children[column];
          return td ? td.querySelector("a.c[data-p]") : null;
        }).filter(Boolean);
      }
    }
    event.preventDefault();
    const keys = cells.map(function (c) { return c.getAttribute("data-p"); });
    const all = keys.every(function (k) { return selected.has(k); });
    keys.forEach(function (k) { if (all) selected.delete(k); else selected.add(k); });
    markSelection();
  });

  // An argument as a shell would need it, so that one with a space shows as one.
  function quoted(arg) {
    return /^[\w@%+=:,.\/-]+$/.test(arg) ? arg : "'" + arg.replace(/'/g, "'\"'\"'") + "'";
  }

  // Starting a run: POST with the page's token.
  const button = document.getElementById("run-btn");
  if (button) button.addEventListener("click", async function () {
    const message = document.getElementById("run-msg");
    const upstream = document.getElementById("upstream");
    // The keys go as the server wrote them: parsed here, 1.0 would become 1
    // and integers past 2^53 another number. The unpartitioned cell has none.
    const keys = Array.from(selected).filter(function (k) { return k; });
    const body = '{"asset":' + JSON.stringify(button.getAttribute("data-asset")) +
      ',"partitions":' + (keys.length ? "[" + keys.join(",") + "]" : "null") +
      ',"upstream":' + (upstream && upstream.checked ? "true" : "false") + "}";
    button.disabled = true;
    message.textContent = "starting…";
    try {
      const answer = await fetch("/api/run", {
        method: "POST", cache: "no-store",
        headers: { "Content-Type": "application/json", "X-Vorda-Token": token() },
        body: body,
      });
      const data = await answer.json();
      message.textContent = answer.ok ? "started: " + data.command.map(quoted).join(" ") + " (see Runs)"
        : "not started: " + data.error;
      message.className = answer.ok ? "started" : "error";
    } catch (e) {
      message.textContent = "not started: the server did not answer";
      message.className = "error";
    } finally {
      button.disabled = false;
    }
  });
})();
