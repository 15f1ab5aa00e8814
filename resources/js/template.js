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

    loadedElement: function () {
        template.loadedElements += 1;
        if (template.loadedElements === template.elements.length) {
            app.deviceReady();
        }
    },

    fragmentHolder: function () {
        var holder = document.querySelector('element');
        if (holder === null) {
            holder = document.createElement('element');
        }
        return holder;
    },

    load: function () {
        template.tagInclude = document.querySelector('include');
        template.elements.forEach(function (path) {
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
                if (this.readyState !== 4 && this.status !== 200) {
                    return;
                }
                var holder = template.fragmentHolder();
                holder.innerHTML += this.responseText;
                template.tagInclude.appendChild(holder);
                template.loadedElement();
            };
            request.open('GET', path, false);
            try {
                request.send();
            } catch (error) {
                // A fragment that cannot be read at all is never counted, so the splash stays; the others still load.
                console.log('Fragment ' + path + ': ' + error.message);
            }
        });
    }
};
