'use strict';

// Loads the screens' fragments (templates and their scripts) into the <include> element and starts the
// application once all of them are in.
var template = {
    elements: [
        '/pages/login/login.html',
        '/pages/login/loginPage.js',
        '/pages/domains/domains.html',
        '/pages/domains/domainsPage.js',
        '/pages/domains/virtualSerialPorts.html'
    ],
    loadedElements: 0,
    tagInclude: null,
    // The markup fragments' texts by their place in `elements`; they go in together, in that order.
    markup: [],
    complete: false,
    loadRequested: false,

    loadedElement: function () {
        template.loadedElements += 1;
        if (template.loadedElements === template.elements.length) {
            template.complete = true;
            if (template.loadRequested) {
                app.deviceReady();
            }
        }
    },

    fragmentHolder: function () {
        var holder = document.querySelector('element');
        if (holder === null) {
            holder = document.createElement('element');
        }
        return holder;
    },

    // Every markup fragment is in: they are added in their listed order and counted.
    addMarkup: function () {
        var holder = template.fragmentHolder();
        var texts = template.markup.filter(function (text) {
            return text !== undefined;
        });
        holder.innerHTML += texts.join('');
        template.tagInclude.appendChild(holder);
        texts.forEach(template.loadedElement);
    },

    // Starts the application once all fragments are in (at once if they already are).
    load: function () {
        template.loadRequested = true;
        template.start();
        if (template.complete) {
            app.deviceReady();
        }
    },

    // Loads the fragments side by side, once; the fragment scripts only define the screens.
    start: function () {
        if (template.tagInclude !== null) {
            return;
        }
        template.tagInclude = document.querySelector('include');
        var markupPaths = template.elements.filter(function (path) {
            return !/\.js$/.test(path);
        });
        var markupPending = markupPaths.length;
        template.markup = new Array(template.elements.length);
        template.elements.forEach(function (path, index) {
            if (/\.js$/.test(path)) {
                var script = document.createElement('script');
                script.type = 'application/javascript';
                script.addEventListener('load', template.loadedElement);
                script.src = path;
                template.tagInclude.appendChild(script);
                return;
            }
            var request = new XMLHttpRequest();
            request.onreadystatechange = function () {
                if (this.readyState !== 4) {
                    return;
                }
                if (this.status === 0) {
                    // Not read at all: never counted, so the splash stays.
                    console.log('Fragment ' + path + ': not read');
                    return;
                }
                template.markup[index] = this.responseText;
                markupPending -= 1;
                if (markupPending === 0) {
                    template.addMarkup();
                }
            };
            request.open('GET', path, true);
            try {
                request.send();
            } catch (error) {
                // A fragment that cannot be read at all is never counted, so the splash stays; the others still load.
                console.log('Fragment ' + path + ': ' + error.message);
            }
        });
    }
};

// The fragments start loading as soon as this script runs, while the page's other files load.
template.start();
