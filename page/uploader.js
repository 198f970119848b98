// The uploader page: signs in, uploads the host's photos one after another,
// handles releases and earnings, all through window.lvendalux.
'use strict';

var host = window.corvane || null;   // the host's own object: files, catalog, log
var uploader = null;                 // window.lvendalux, once the host attached it
var queue = [];                      // one entry per photo the host offers
var releaseFiles = [];

function byId(id) { return document.getElementById(id); }

function log(text) {
  var line = document.createElement('li');
  line.textContent = text;
  byId('log').appendChild(line);
  if (host) host.log(text);
}

function show(element, text, ok) {
  element.textContent = text;
  element.className = element.className.replace(/\b(ok|error)\b/g, '').trim() + (ok ? ' ok' : ' error');
}

// The plug-in calls back by global function name, so every request gets
// names of its own; they are removed once the request has ended.
var callbackCount = 0;
function callbacks(handlers) {
  var id = ++callbackCount;
  var names = {success: '', error: '', progress: ''};
  function forget() {
    Object.keys(names).forEach(function (kind) { if (names[kind]) delete window[names[kind]]; });
  }
  Object.keys(handlers).forEach(function (kind) {
    var name = 'vendalux_' + kind + '_' + id;
    names[kind] = name;
    window[name] = function () {
      if (kind !== 'progress') forget();
      handlers[kind].apply(null, arguments);
    };
  });
  return names;
}

var appErrors = {
  '121': 'The file cannot be read.',
  '122': 'The photo is too small: below the minimum width, height or megapixels.',
  '123': 'The photo\'s aspect ratio is too extreme.',
  '124': 'The service\'s earnings reply was malformed; nothing was stored.',
  '125': 'The catalog is missing, locked or could not be written; nothing was stored.',
  '126': 'The photo is damaged: it decodes only with errors; nothing was sent.',
  '127': 'The connection was lost after sending: the service may already hold it; check before sending it again.'
};
var statusErrors = {
  '401': 'The session is no longer valid; please sign in again.',
  '403': 'Wrong client id, key or password.',
  '500': 'The service had an internal error; try again later.'
};
var faultErrors = {
  '-32300': 'Could not reach the service',
  '-32700': 'The service sent an unreadable answer',
  '-32600': 'The service\'s answer was not understood'
};

// Words for an error object of the plug-in (none at all: a refused sign-in).
function explain(error) {
  if (!error)
    return 'Sign-in refused: wrong client id, key or password.';
  var code = error.error_code, text = error.error_text;
  if (error.error_type === 'app') {
    var words = appErrors[code] || statusErrors[code] || 'The service refused the request.';
    return 'error ' + (code || '(no status)') + ': ' + words + (text && !appErrors[code] ? ' (' + text + ')' : '');
  }
  return 'error ' + code + ': ' + (faultErrors[code] || 'The service reported a fault') + (text ? ' (' + text + ')' : '.');
}

function signIn() {
  var result = byId('signin-result');
  show(result, 'Signing in…', true);
  return new Promise(function (resolve) {
    var names = callbacks({
      success: function () {
        show(result, 'Signed in.', true);
        byId('session-state').textContent = 'Signed in as ' + byId('client-id').value;
        log('sign-in: signed in');
        resolve(true);
      },
      error: function (error) {
        show(result, explain(error), false);
        log('sign-in: ' + explain(error));
        resolve(false);
      }
    });
    uploader._login(byId('client-id').value, byId('client-key').value, byId('password').value,
                    names.success, names.error);
  });
}

function buildQueue() {
  var list = byId('queue');
  (host ? host.photos() : []).forEach(function (photo) {
    var item = {path: photo.path, name: photo.name, photoId: null};
    var row = document.createElement('li');
    row.innerHTML = '<img alt=""><div class="meta"><input class="title" placeholder="Title">' +
      '<input class="desc" placeholder="Description"><input class="keywords" placeholder="Keywords, comma separated">' +
      '</div><div class="status"><div class="name"></div><progress max="4" value="0"></progress><div class="text">Waiting</div></div>';
    row.querySelector('img').src = photo.url;
    row.querySelector('.name').textContent = photo.name;
    item.title = row.querySelector('.title');
    item.desc = row.querySelector('.desc');
    item.keywords = row.querySelector('.keywords');
    item.progress = row.querySelector('progress');
    item.status = row.querySelector('.status .text');
    list.appendChild(row);
    queue.push(item);
  });
}

function uploadPhoto(item) {
  return new Promise(function (resolve) {
    var keywords = item.keywords.value.split(',').map(function (k) { return k.trim(); })
      .filter(function (k) { return k.length > 0; });
    var meta = {title: item.title.value, desc: item.desc.value, keywords: keywords};
    item.progress.value = 0;
    show(item.status, 'Preparing…', true);
    var names = callbacks({
      progress: function (step, total) {
        item.progress.value = step;
        show(item.status, 'Uploading: ' + step + ' of ' + total, true);
        log('upload ' + item.name + ': ' + step + '/' + total);
      },
      success: function (photoId) {
        item.photoId = photoId === undefined ? '' : String(photoId);
        show(item.status, 'Uploaded, photo id ' + item.photoId, true);
        log('upload ' + item.name + ': uploaded as photo ' + item.photoId);
        addAttachTarget(item);
        resolve(true);
      },
      error: function (error) {
        show(item.status, explain(error), false);
        log('upload ' + item.name + ': ' + explain(error));
        resolve(false);
      }
    });
    uploader._uploadFile(item.path, meta, names.success, names.error, names.progress);
  });
}

// One upload at a time: the plug-in holds the state of a single upload.
function uploadAll() {
  byId('upload-all').disabled = true;
  return queue.reduce(function (previous, item) {
    return previous.then(function () { return uploadPhoto(item); });
  }, Promise.resolve()).then(function () { byId('upload-all').disabled = false; });
}

function addAttachTarget(item) {
  var option = document.createElement('option');
  option.value = item.photoId;
  option.textContent = item.name + ' (photo ' + item.photoId + ')';
  byId('attach-photo').appendChild(option);
}

// A release request answered with a text (or nothing) on success.
function releaseRequest(label, send) {
  var result = byId('release-result');
  return new Promise(function (resolve) {
    var names = callbacks({
      success: function (response) {
        var text = response === undefined ? 'done' : 'answer ' + response;
        show(result, label + ': ' + text, true);
        log('release ' + label + ': ' + text);
        resolve({ok: true, response: response});
      },
      error: function (error) {
        show(result, label + ': ' + explain(error), false);
        log('release ' + label + ': ' + explain(error));
        resolve({ok: false});
      }
    });
    send(names);
  });
}

function uploadRelease() {
  var file = releaseFiles[byId('release-file').selectedIndex];
  if (!file)
    return Promise.resolve({ok: false});
  return releaseRequest('upload ' + file.name, function (names) {
    uploader._uploadRelease(file.path, byId('release-type').value, byId('release-name').value,
                            byId('release-description').value, byId('release-date').value,
                            names.success, names.error, '');
  }).then(function (outcome) {
    if (outcome.ok && outcome.response !== undefined)
      byId('attach-releases').value = outcome.response;
    return outcome;
  });
}

function attachReleases() {
  var photoId = byId('attach-photo').value;
  return releaseRequest('attach to photo ' + photoId, function (names) {
    uploader._attachReleases(photoId, byId('attach-releases').value, names.success, names.error);
  });
}

function checkReleases() {
  return releaseRequest('check', function (names) {
    uploader._checkReleases(byId('attach-releases').value, names.success, names.error);
  });
}

function drawChart() {
  var days = host ? host.dailyAmounts() : [];
  var chart = byId('chart');
  chart.innerHTML = '';
  var highest = days.reduce(function (max, day) { return Math.max(max, day.amount); }, 0) || 1;
  days.slice(-31).forEach(function (day) {
    var bar = document.createElement('div');
    bar.className = 'bar';
    bar.style.height = Math.round(120 * day.amount / highest) + 'px';
    bar.title = day.date + ': ' + day.amount;
    var label = document.createElement('span');
    label.textContent = day.date.slice(-2);
    bar.appendChild(label);
    chart.appendChild(bar);
  });
  return days.length;
}

function fetchEarnings() {
  var result = byId('earnings-result');
  show(result, 'Fetching…', true);
  return new Promise(function (resolve) {
    var names = callbacks({
      success: function () {
        var days = drawChart();
        var account = host ? host.account() : {};
        var text = 'Earnings ' + (account.earnings || '?') + ' ' + (account.currency || '') + ', ' + days + ' days in the catalog';
        show(result, text, true);
        log('earnings: ' + text);
        resolve(true);
      },
      error: function (error) {
        show(result, explain(error), false);
        log('earnings: ' + explain(error));
        resolve(false);
      }
    });
    uploader._getEarnings(byId('earnings-from').value, byId('earnings-to').value, names.success, names.error);
  });
}

function isoDate(date) {
  function two(n) { return (n < 10 ? '0' : '') + n; }
  return date.getFullYear() + '-' + two(date.getMonth() + 1) + '-' + two(date.getDate());
}

// The host's headless demo: the same buttons a user would press, in order.
function runScriptedSession() {
  var credentials = host.credentials();
  byId('client-id').value = credentials.clientId;
  byId('client-key').value = credentials.clientKey;
  byId('password').value = credentials.password;
  signIn().then(function (signedIn) {
    if (!signedIn)
      throw new Error('sign-in failed');
    queue.forEach(function (item, index) {
      item.title.value = 'Demo photo ' + (index + 1);
      item.desc.value = item.name + ', uploaded by the scripted session';
      item.keywords.value = 'demo, vendalux, photo ' + (index + 1);
    });
    return uploadAll();
  }).then(function () {
    if (releaseFiles.length === 0)
      return null;
    byId('release-name').value = 'Demo model';
    byId('release-description').value = 'Signed model release';
    byId('release-date').value = isoDate(new Date());
    return uploadRelease().then(function (uploaded) {
      if (uploaded.ok && byId('attach-photo').options.length > 0)
        return attachReleases().then(checkReleases);
      return null;
    });
  }).then(function () {
    byId('earnings-from').value = isoDate(new Date(Date.now() - 13 * 86400000));
    byId('earnings-to').value = isoDate(new Date());
    return fetchEarnings();
  }).then(function () {
    host.finish(true, 'scripted session ran to its end');
  }, function (failure) {
    host.finish(false, String(failure && failure.message || failure));
  });
}

// Called by the host once it attached the plug-in to this page.
function uploaderReady(name) {
  uploader = window[name];
  ['upload-all', 'release-upload', 'release-attach', 'release-check', 'earnings-fetch'].forEach(function (id) {
    byId(id).disabled = false;
  });
  log('uploader attached as window.' + name);
  if (host && host.scripted())
    runScriptedSession();
}

function init() {
  buildQueue();
  releaseFiles = host ? host.releases() : [];
  releaseFiles.forEach(function (file) {
    var option = document.createElement('option');
    option.textContent = file.name;
    byId('release-file').appendChild(option);
  });
  byId('signin-form').addEventListener('submit', function (event) { event.preventDefault(); signIn(); });
  byId('upload-all').addEventListener('click', uploadAll);
  byId('release-upload').addEventListener('click', uploadRelease);
  byId('release-attach').addEventListener('click', attachReleases);
  byId('release-check').addEventListener('click', checkReleases);
  byId('earnings-fetch').addEventListener('click', fetchEarnings);
}

init();
