// Runs first, in the page's head: picks the language from the webview's language list.
// Persian when the first entry starts with "fa" or "pe" (any case), English otherwise; a list
// that cannot be read counts as empty, and an empty one as "en".
(function () {
  var first = 'en';
  try {
    var list = navigator.languages;
    if (list && list.length > 0) {
      first = list[0];
    } else if (navigator.language) {
      first = navigator.language;
    }
    first = String(first).toLowerCase();
  } catch (e) {
    first = 'en';
  }
  var fa = first.indexOf('fa') === 0 || first.indexOf('pe') === 0;
  var root = document.documentElement;
  root.setAttribute('lang', fa ? 'fa' : 'en');
  root.setAttribute('dir', fa ? 'rtl' : 'ltr');
  root.setAttribute('data-lang', fa ? 'fa' : 'en');
})();
