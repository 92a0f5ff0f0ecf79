// Follows navbeacon-maphost's gotos: each one moves the marker, extends
// the track and, while the page follows, re-centres the map. The host
// sends the last goto and then the track of recent ones on every
// (re)connection, so a page opened late or a host restarted needs nothing
// else. The user's hand wins: a drag stops the re-centring until Follow is
// pressed, and a zoom the user chose is kept.
'use strict';

const TRAIL_LENGTH = 100;
// Consecutive points further apart than this are separate runs: the
// track breaks there instead of drawing a line across the map.
const BREAK_METRES = 50000;
const BREAK_MS = 10 * 60 * 1000;

// Global so that scripts and tests can read map.getCenter() and map.getZoom().
var map = L.map('map', { worldCopyJump: true }).setView([20, 0], 2);
const trail = L.polyline([], { color: '#1f6feb', weight: 3, opacity: 0.7 }).addTo(map);
let marker = null;
let points = [];        // the track: { here, time }
let last = null;        // the last goto
let following = true;   // re-centre on each goto
let chosenZoom = null;  // the user's zoom, kept while following
let moving = false;     // the page itself is moving the map
let tiles = null;

const positionText = document.getElementById('position');
const agoText = document.getElementById('ago');
const connectionText = document.getElementById('connection');
const tilesText = document.getElementById('tiles');
const followButton = document.getElementById('follow');

// A tile layer that fails (a template it cannot fill, a broken server)
// goes, and the page says so; the marker, the track and the figures still
// follow each goto.
function dropTiles(why) {
  tilesText.hidden = false;
  if (why) tilesText.textContent = `Map tiles unavailable (${why}): the position is shown without a map background.`;
  if (tiles) {
    const layer = tiles;
    tiles = null;
    try { map.removeLayer(layer); } catch (error) { /* it is gone either way */ }
  }
}

fetch('/config').then((response) => response.json()).then((config) => {
  try {
    const layer = L.tileLayer(config.tiles, { attribution: config.attribution, maxZoom: 19 });
    layer.on('tileerror', () => { tilesText.hidden = false; });
    layer.on('tileload', () => { tilesText.hidden = true; });
    tiles = layer;
    layer.addTo(map);
  } catch (error) {
    dropTiles(error.message);
  }
}).catch((error) => dropTiles(error.message));

// Moves the map as the page, not the user, does.
function moveMap(here, zoom) {
  moving = true;
  try {
    map.setView(here, zoom, { animate: false });
  } catch (error) {
    dropTiles(error.message);
    map.setView(here, zoom, { animate: false });
  } finally {
    moving = false;
  }
}

map.on('dragstart', () => setFollowing(false));
// An animated zoom says where it goes as it starts, before a goto can
// interrupt it.
map.on('zoomanim', (event) => { if (!moving) chosenZoom = event.zoom; });
map.on('zoomend', () => { if (!moving) chosenZoom = map.getZoom(); });

function setFollowing(on) {
  following = on;
  followButton.setAttribute('aria-pressed', on);
  followButton.textContent = on ? 'Following' : 'Follow';
  if (on && last) moveMap([last.latitude, last.longitude], chosenZoom ?? last.zoom);
}
followButton.addEventListener('click', () => setFollowing(true));

function segments() {
  const lines = [];
  let line = [];
  points.forEach((point, i) => {
    const previous = points[i - 1];
    if (previous && (map.distance(previous.here, point.here) > BREAK_METRES ||
                     Math.abs(point.time - previous.time) > BREAK_MS)) {
      lines.push(line);
      line = [];
    }
    line.push(point.here);
  });
  if (line.length) lines.push(line);
  return lines;
}

function addPoint(where) {
  points.push({ here: [where.latitude, where.longitude], time: Date.parse(where.time) });
  points = points.slice(-TRAIL_LENGTH);
}

function showAgo() {
  if (!last) return;
  const seconds = Math.max(0, Math.round((Date.now() - Date.parse(last.time)) / 1000));
  agoText.textContent = `${seconds} s ago`;
}
setInterval(showAgo, 1000);

function show(where) {
  last = where;
  const here = [where.latitude, where.longitude];
  if (marker) marker.setLatLng(here); else marker = L.marker(here).addTo(map);
  const time = new Date(where.time);
  positionText.textContent =
    `${Math.abs(where.latitude).toFixed(6)}° ${where.latitude < 0 ? 'S' : 'N'}, ` +
    `${Math.abs(where.longitude).toFixed(6)}° ${where.longitude < 0 ? 'W' : 'E'}\n` +
    `zoom ${where.zoom} · ${time.toLocaleTimeString()}`;
  positionText.dataset.latitude = where.latitude;
  positionText.dataset.longitude = where.longitude;
  showAgo();
  if (following) moveMap(here, chosenZoom ?? where.zoom);
}

function setConnected(up) {
  connectionText.className = up ? 'up' : 'down';
  connectionText.textContent = up
    ? 'Connected to navbeacon-maphost'
    : 'Not connected to navbeacon-maphost: retrying…';
}

// The browser reconnects a stream that breaks; one it gave up on (the host
// answered with an error) is opened again here.
function listen() {
  const events = new EventSource('/events');
  events.onopen = () => setConnected(true);
  events.onmessage = (event) => {
    const where = JSON.parse(event.data);
    // The last goto comes again first after a reconnection.
    if (!last || last.time !== where.time) addPoint(where);
    trail.setLatLngs(segments());
    show(where);
  };
  // The host's recent gotos, oldest first, after the last one.
  events.addEventListener('track', (event) => {
    points = [];
    JSON.parse(event.data).forEach(addPoint);
    trail.setLatLngs(segments());
  });
  events.onerror = () => {
    setConnected(false);
    if (events.readyState === EventSource.CLOSED) setTimeout(listen, 2000);
  };
}
listen();
